// Validates and loads the input BMP file.
#include "bmp/bmp_reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "bmp/bmp_format.h"
#include "canvas/canvas.h"
#include "image/byte_blocks.h"
#include "os/input_file.h"

namespace {

bool is_known_info_header_size(uint32_t size) {
  return size == 40 || size == 52 || size == 56 || size == 108 || size == 124;
}

// Whether the first `head_len` bytes of `head` start like a BMP file this
// program reads: the type "BM", then an information header size it knows.
bool starts_like_accepted_bmp(const uint8_t* head, size_t head_len) {
  return head_len >= OFFSET_BI_SIZE + 4 && head[OFFSET_BF_TYPE] == 'B' &&
         head[OFFSET_BF_TYPE + 1] == 'M' &&
         is_known_info_header_size(read_u32le(head + OFFSET_BI_SIZE));
}

header_check refuse(run_failure why) {
  header_check check;
  check.refusal = why;
  return check;
}

// Whether the masks of a bit-fields file describe plain blue, green, red
// bytes. Only for a known header size, whose masks lie inside the headers.
bool plain_masks(const uint8_t* head) {
  return read_u32le(head + OFFSET_MASKS) == RED_MASK &&
         read_u32le(head + OFFSET_MASKS + 4) == GREEN_MASK &&
         read_u32le(head + OFFSET_MASKS + 8) == BLUE_MASK;
}

// Whether the fields after the information header's size describe an
// uncompressed 24-bit picture this program reads. `head` holds at least
// `headers_end` bytes.
bool fields_supported(const uint8_t* head, uint32_t compression, uint64_t headers_end) {
  const bool plain_pixels =
      compression == BI_RGB || (compression == BI_BITFIELDS && plain_masks(head));
  return plain_pixels && read_u16le(head + OFFSET_BI_PLANES) == 1 &&
         read_u16le(head + OFFSET_BI_BIT_COUNT) == 24 && read_i32le(head + OFFSET_BI_WIDTH) >= 0 &&
         read_i32le(head + OFFSET_BI_HEIGHT) != INT32_MIN &&
         read_u32le(head + OFFSET_BF_OFF_BITS) >= headers_end;
}

// Ends the run after a read that delivered less than asked: an I/O error is
// an unreadable input, anything else a file shorter than it claims.
[[noreturn]] void end_on_short_read(bool failed) {
  end_run(failed ? run_failure::input_open : run_failure::input_size);
}

}  // namespace

header_check check_bmp_headers(const uint8_t* head, size_t head_len, uint64_t file_size) {
  // What the file is comes first: anything that does not start like an
  // accepted BMP (the type, then the information header's size) is of
  // another format, whatever its length; only then can it be too short.
  if (!starts_like_accepted_bmp(head, head_len)) return refuse(run_failure::input_format);
  const uint32_t info_size = read_u32le(head + OFFSET_BI_SIZE);
  uint64_t headers_end = BMP_FILE_HEADER_SIZE + info_size;
  if (head_len < headers_end) return refuse(run_failure::input_size);
  const uint32_t compression = read_u32le(head + OFFSET_BI_COMPRESSION);
  if (compression == BI_BITFIELDS && info_size == BMP_INFO_HEADER_SIZE) {
    headers_end += BMP_MASKS_SIZE;  // the masks follow the 40-byte header
    if (head_len < headers_end) return refuse(run_failure::input_size);
  }
  if (!fields_supported(head, compression, headers_end)) return refuse(run_failure::input_format);

  bmp_layout layout;
  const int32_t height = read_i32le(head + OFFSET_BI_HEIGHT);
  layout.width = read_i32le(head + OFFSET_BI_WIDTH);
  layout.height = height < 0 ? -height : height;
  layout.top_down = height < 0;
  const int64_t side = canvas_side(layout.width, layout.height);
  if (bmp24_file_size(side, side) > BMP_MAX_FILE_SIZE) return refuse(run_failure::image_too_large);

  layout.pixel_offset = read_u32le(head + OFFSET_BF_OFF_BITS);
  layout.row_stride = file_row_stride(layout.width);
  layout.pixel_array_size = static_cast<uint64_t>(layout.height) * layout.row_stride;
  if (layout.pixel_offset + layout.pixel_array_size > file_size) {
    return refuse(run_failure::input_size);
  }
  header_check check;
  check.accepted = true;
  check.layout = layout;
  return check;
}

namespace {

// Pixels are moved in square blocks (image/byte_blocks.h), and blocks in
// tiles of this many rows and columns, so that the rows read stay in cache.
// Tall tiles write each column in long runs, which measured faster than wide
// ones on pictures larger than the cache.
constexpr int64_t TILE_ROWS = 512;
constexpr int64_t TILE_COLUMNS = 256;

// Stored rows first .. first + count - 1 of a file's pixel array, held one
// after another at `bytes`.
struct stored_rows {
  const uint8_t* bytes;
  int64_t first;
  int64_t count;
};

// Where plane row y (counted from the bottom) is held; it must be one of `rows`.
const uint8_t* plane_row(const stored_rows& rows, const bmp_layout& layout, int64_t y) {
  const int64_t stored = layout.top_down ? layout.height - 1 - y : y;
  return rows.bytes + static_cast<uint64_t>(stored - rows.first) * layout.row_stride;
}

// Plane rows y0..y1-1, one byte at a time: for pictures narrower or held in
// fewer rows than a block, and on hosts whose byte order the portable blocks
// do not assume.
void unpack_bytes(const stored_rows& rows, const bmp_layout& layout, planar_image& picture,
                  int64_t y0, int64_t y1) {
  const int64_t h = layout.height;
  for (int64_t y = y0; y < y1; ++y) {
    const uint8_t* px = plane_row(rows, layout, y);
    for (int64_t x = 0; x < layout.width; ++x) {
      const uint8_t* pixel = px + 3 * x;
      for (size_t c = 0; c < CHANNEL_COUNT; ++c) picture.planes[c].get()[x * h + y] = pixel[c];
    }
  }
}

// The BLOCK x BLOCK pixels from column x, plane row y, with rows[k] the
// stored row of plane row y + k. Each row's pixels are 3 * BLOCK bytes, three
// words; transposing the BLOCK x BLOCK bytes of each third leaves in word j
// the rows of byte BLOCK * part + j, which goes to samples[BLOCK * part + j]
// (the column of that byte's channel and pixel, for the block at column 0)
// + x * h + y.
template <typename word>
void unpack_block(const uint8_t* const (&rows)[BLOCK<word>],
                  uint8_t* const (&samples)[BLOCK_ROW_BYTES<word>], int64_t h, int64_t x,
                  int64_t y) {
  constexpr int64_t block = BLOCK<word>;
  const int64_t offset = x * h + y;
  for (int part = 0; part < 3; ++part) {
    word words[block];
    for (int k = 0; k < block; ++k) load_word(rows[k] + 3 * x + block * part, words[k]);
    transpose_block(words);
    for (int j = 0; j < block; ++j) store_word(samples[block * part + j] + offset, words[j]);
  }
}

// Unpacks plane rows y_begin..y_end - 1, held in `rows`, in tiles of blocks
// of `word`s, or one byte at a time where fewer rows or columns than a block
// has. At the right edge and at the last rows, the last block is moved back
// to end with them: it unpacks some pixels a second time, the same bytes,
// instead of leaving a remainder to slower code.
template <typename word>
void unpack_in_blocks(const stored_rows& rows, const bmp_layout& layout, planar_image& picture,
                      int64_t y_begin, int64_t y_end) {
  constexpr int64_t block = BLOCK<word>;
  const int64_t w = layout.width;
  const int64_t h = layout.height;
  if (w < block || y_end - y_begin < block) {
    unpack_bytes(rows, layout, picture, y_begin, y_end);
    return;
  }
  uint8_t* samples[BLOCK_ROW_BYTES<word>];
  block_byte_columns<word>(picture, samples);
  for (int64_t y0 = y_begin; y0 < y_end; y0 += TILE_ROWS) {
    for (int64_t x0 = 0; x0 < w; x0 += TILE_COLUMNS) {
      for (int64_t tile_y = y0; tile_y < std::min(y_end, y0 + TILE_ROWS); tile_y += block) {
        const int64_t y = std::min(tile_y, y_end - block);
        const uint8_t* from[block];
        for (int k = 0; k < block; ++k) from[k] = plane_row(rows, layout, y + k);
        for (int64_t tile_x = x0; tile_x < std::min(w, x0 + TILE_COLUMNS); tile_x += block) {
          unpack_block<word>(from, samples, h, std::min(tile_x, w - block), y);
        }
      }
    }
  }
}

#ifdef VANDREL_SSE2_BLOCKS
// unpack_in_blocks with the SSE2 blocks, all of it compiled for SSE2.
SSE2_CODE void unpack_in_sse2_blocks(const stored_rows& rows, const bmp_layout& layout,
                                     planar_image& picture, int64_t y_begin, int64_t y_end) {
  unpack_in_blocks<sse2_block_word>(rows, layout, picture, y_begin, y_end);
}
#endif

// Unpacks `rows` into their plane rows of `picture`, with the SSE2 blocks
// where the processor has them, the portable ones elsewhere.
void unpack_stored_rows(const stored_rows& rows, const bmp_layout& layout, planar_image& picture) {
  const int64_t y_begin = layout.top_down ? layout.height - rows.first - rows.count : rows.first;
  const int64_t y_end = y_begin + rows.count;
#ifdef VANDREL_SSE2_BLOCKS
  if (sse2_blocks_usable()) {
    unpack_in_sse2_blocks(rows, layout, picture, y_begin, y_end);
    return;
  }
#endif
  if (host_is_little_endian()) {
    unpack_in_blocks<uint64_t>(rows, layout, picture, y_begin, y_end);
  } else {
    unpack_bytes(rows, layout, picture, y_begin, y_end);
  }
}

// A picture of the layout's size whose planes have room for its canvas, so
// that the canvas can be composed in the same memory.
planar_image make_picture_for(const bmp_layout& layout) {
  const auto side = static_cast<uint64_t>(canvas_side(layout.width, layout.height));
  return make_planar_image(layout.width, layout.height, side * side);
}

}  // namespace

planar_image unpack_pixel_array(const uint8_t* pixels, const bmp_layout& layout) {
  planar_image picture = make_picture_for(layout);
  unpack_stored_rows({pixels, 0, layout.height}, layout, picture);
  return picture;
}

namespace {

// The size of a stream, whose end is known only once it is reached.
constexpr uint64_t UNKNOWN_SIZE = UINT64_MAX;

// Rows read from a file at a time: as many as a tile has, so that each
// plane column is written in runs of that length.
constexpr int64_t READ_BAND_ROWS = TILE_ROWS;

// The picture of a regular file, whose size has been checked against its
// pixel array: read band by band into one buffer, each band unpacked as soon
// as it is read, so that the whole array is never held. The last band is
// moved back to end with the picture, so that every band holds as many rows.
planar_image read_file_picture(const input_file& in, const bmp_layout& layout) {
  planar_image picture = make_picture_for(layout);
  const int64_t band_rows = std::min<int64_t>(READ_BAND_ROWS, layout.height);
  const uint64_t band_size = layout.row_stride * static_cast<uint64_t>(band_rows);
  const byte_buffer band = alloc_picture_buffer(band_size);
  for (int64_t start = 0; start < layout.height; start += band_rows) {
    const int64_t first = std::min(start, layout.height - band_rows);
    bool failed = false;
    if (!seek_input(in, layout.pixel_offset + static_cast<uint64_t>(first) * layout.row_stride) ||
        read_input(in, band.get(), static_cast<size_t>(band_size), failed) != band_size) {
      end_on_short_read(failed);
    }
    unpack_stored_rows({band.get(), first, band_rows}, layout, picture);
  }
  return picture;
}

// Reads and drops `count` bytes of a stream.
void skip_stream(const input_file& in, uint64_t count) {
  uint8_t scratch[1 << 16];
  while (count > 0) {
    const size_t ask = count < sizeof scratch ? static_cast<size_t>(count) : sizeof scratch;
    bool failed = false;
    if (read_input(in, scratch, ask, failed) != ask) end_on_short_read(failed);
    count -= ask;
  }
}

// Reads the headers into `head`, exactly as far as they go, so that a
// stream is never asked for a byte before the picture needs it: the file
// header and the information header's size, then the rest of the
// information header that size names, then the masks that follow a 40-byte
// one for bit fields. Stops early where the input ends or where the start is
// no accepted BMP's. Returns how many bytes it read; `failed` says whether a
// read failed.
size_t read_headers(const input_file& in, uint8_t (&head)[BMP_MAX_HEADERS_SIZE], bool& failed) {
  size_t have = read_input(in, head, OFFSET_BI_SIZE + 4, failed);
  if (!starts_like_accepted_bmp(head, have)) return have;
  const size_t headers_end = BMP_FILE_HEADER_SIZE + read_u32le(head + OFFSET_BI_SIZE);
  have += read_input(in, head + have, headers_end - have, failed);
  if (have == headers_end && headers_end == BMP_HEADER_SIZE &&
      read_u32le(head + OFFSET_BI_COMPRESSION) == BI_BITFIELDS) {
    have += read_input(in, head + have, BMP_MASKS_SIZE, failed);
  }
  return have;
}

// The pixel array of a stream (a pipe, a FIFO, a device), which cannot seek
// and whose length is known only at its end: its first `head_len` bytes, the
// headers, have been read; the rest up to the pixel offset is skipped, and
// the array read in pieces into a buffer that doubles as they arrive, so that
// memory follows the bytes received, not the size the headers claim.
byte_buffer read_stream_pixels(const input_file& in, size_t head_len, const bmp_layout& layout) {
  constexpr uint64_t FIRST_PIECE = 1 << 20;
  const uint64_t size = layout.pixel_array_size;
  uint64_t have = 0;  // bytes of the array in `pixels`
  uint64_t capacity = std::min(size, FIRST_PIECE);
  byte_buffer pixels = alloc_picture_buffer(capacity);
  skip_stream(in, layout.pixel_offset - head_len);  // the headers end at the offset or before
  while (have < size) {
    if (have == capacity) {
      capacity = std::min(size, 2 * capacity);
      byte_buffer larger = alloc_picture_buffer(capacity);
      std::memcpy(larger.get(), pixels.get(), static_cast<size_t>(have));
      pixels = std::move(larger);
    }
    const auto ask = static_cast<size_t>(capacity - have);
    bool failed = false;
    const size_t got = read_input(in, pixels.get() + have, ask, failed);
    if (got != ask) end_on_short_read(failed);
    have += got;
  }
  return pixels;
}

}  // namespace

planar_image read_bmp24(const std::string& path) {
  input_file in = open_input(path);
  if (!in.open) end_run(run_failure::input_open);

  uint8_t head[BMP_MAX_HEADERS_SIZE];
  bool failed = false;
  const size_t head_len = read_headers(in, head, failed);
  if (failed) end_on_short_read(failed);
  const header_check check = check_bmp_headers(head, head_len, in.sized ? in.size : UNKNOWN_SIZE);
  if (!check.accepted) end_run(check.refusal);

  if (in.sized) {
    planar_image picture = read_file_picture(in, check.layout);
    close_input(in);
    return picture;
  }
  const byte_buffer pixels = read_stream_pixels(in, head_len, check.layout);
  close_input(in);
  return unpack_pixel_array(pixels.get(), check.layout);
}
