// Validates and loads the input BMP file.
#include "bmp/bmp_reader.h"

#include <algorithm>
#include <fstream>

#include "bmp/bmp_format.h"
#include "canvas/canvas.h"
#include "image/byte_blocks.h"

namespace {

bool is_known_info_header_size(uint32_t size) {
  return size == 40 || size == 52 || size == 56 || size == 108 || size == 124;
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

// Whether the fields describe an uncompressed 24-bit picture this program
// reads. `head` holds at least `headers_end` bytes.
bool fields_supported(const uint8_t* head, uint32_t compression, uint64_t headers_end) {
  if (head[OFFSET_BF_TYPE] != 'B' || head[OFFSET_BF_TYPE + 1] != 'M' ||
      !is_known_info_header_size(read_u32le(head + OFFSET_BI_SIZE))) {
    return false;
  }
  const bool plain_pixels =
      compression == BI_RGB || (compression == BI_BITFIELDS && plain_masks(head));
  return plain_pixels && read_u16le(head + OFFSET_BI_PLANES) == 1 &&
         read_u16le(head + OFFSET_BI_BIT_COUNT) == 24 && read_i32le(head + OFFSET_BI_WIDTH) >= 0 &&
         read_i32le(head + OFFSET_BI_HEIGHT) != INT32_MIN &&
         read_u32le(head + OFFSET_BF_OFF_BITS) >= headers_end;
}

// Ends the run after a read that delivered less than asked: an I/O error is
// an unreadable input, anything else a file shorter than it claims.
[[noreturn]] void end_on_short_read(const std::ifstream& in) {
  end_run(in.bad() ? run_failure::input_open : run_failure::input_size);
}

}  // namespace

header_check check_bmp_headers(const uint8_t* head, size_t head_len, uint64_t file_size) {
  if (head_len < OFFSET_BI_SIZE + 4) return refuse(run_failure::input_size);
  const uint32_t info_size = read_u32le(head + OFFSET_BI_SIZE);
  uint64_t headers_end =
      BMP_FILE_HEADER_SIZE + (is_known_info_header_size(info_size) ? info_size : 40);
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

// Pixels are moved in BLOCK x BLOCK blocks, and blocks in tiles of this many rows and
// columns, so that the rows read stay in cache. Tall tiles write each column in
// long runs, which measured faster than wide ones on pictures larger than the cache.
constexpr int64_t TILE_ROWS = 512;
constexpr int64_t TILE_COLUMNS = 256;

// Where plane row y (counted from the bottom) is stored in the pixel array.
const uint8_t* stored_row(const uint8_t* pixels, const bmp_layout& layout, int64_t y) {
  const int64_t row = layout.top_down ? layout.height - 1 - y : y;
  return pixels + static_cast<uint64_t>(row) * layout.row_stride;
}

// Plane rows y0..y1-1 of columns x0..x1-1, one byte at a time.
void unpack_bytes(const uint8_t* pixels, const bmp_layout& layout, planar_image& picture,
                  int64_t x0, int64_t x1, int64_t y0, int64_t y1) {
  const int64_t h = layout.height;
  for (int64_t y = y0; y < y1; ++y) {
    const uint8_t* px = stored_row(pixels, layout, y);
    for (int64_t x = x0; x < x1; ++x) {
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
void unpack_block(const uint8_t* const (&rows)[BLOCK], uint8_t* const (&samples)[BLOCK_ROW_BYTES],
                  int64_t h, int64_t x, int64_t y) {
  const int64_t offset = x * h + y;
  for (int part = 0; part < 3; ++part) {
    block_word words[BLOCK];
    for (int k = 0; k < BLOCK; ++k) words[k] = load_block_word(rows[k] + 3 * x + BLOCK * part);
    transpose_block(words);
    for (int j = 0; j < BLOCK; ++j) store_block_word(samples[BLOCK * part + j] + offset, words[j]);
  }
}

}  // namespace

planar_image unpack_pixel_array(const uint8_t* pixels, const bmp_layout& layout) {
  const int64_t w = layout.width;
  const int64_t h = layout.height;
  planar_image picture = make_planar_image(layout.width, layout.height);
  // Whole blocks first, then the strips along the right and top edges.
  const int64_t block_w = host_is_little_endian() ? w / BLOCK * BLOCK : 0;
  const int64_t block_h = host_is_little_endian() ? h / BLOCK * BLOCK : 0;
  uint8_t* samples[BLOCK_ROW_BYTES];
  block_byte_columns(picture, samples);
  for (int64_t y0 = 0; y0 < block_h; y0 += TILE_ROWS) {
    for (int64_t x0 = 0; x0 < block_w; x0 += TILE_COLUMNS) {
      for (int64_t y = y0; y < std::min(block_h, y0 + TILE_ROWS); y += BLOCK) {
        const uint8_t* rows[BLOCK];
        for (int k = 0; k < BLOCK; ++k) rows[k] = stored_row(pixels, layout, y + k);
        for (int64_t x = x0; x < std::min(block_w, x0 + TILE_COLUMNS); x += BLOCK) {
          unpack_block(rows, samples, h, x, y);
        }
      }
    }
  }
  unpack_bytes(pixels, layout, picture, block_w, w, 0, h);
  unpack_bytes(pixels, layout, picture, 0, block_w, block_h, h);
  return picture;
}

planar_image read_bmp24(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in || !in.seekg(0, std::ios::end)) end_run(run_failure::input_open);
  const std::streamoff end = in.tellg();
  if (end < 0 || !in.seekg(0)) end_run(run_failure::input_open);
  const uint64_t file_size = static_cast<uint64_t>(end);

  uint8_t head[BMP_MAX_HEADERS_SIZE];
  const size_t head_len = static_cast<size_t>(std::min<uint64_t>(file_size, sizeof head));
  if (!in.read(reinterpret_cast<char*>(head), static_cast<std::streamsize>(head_len))) {
    end_on_short_read(in);
  }
  const header_check check = check_bmp_headers(head, head_len, file_size);
  if (!check.accepted) end_run(check.refusal);
  const bmp_layout& layout = check.layout;

  const byte_buffer pixels = alloc_picture_buffer(layout.pixel_array_size);
  in.seekg(static_cast<std::streamoff>(layout.pixel_offset));
  in.read(reinterpret_cast<char*>(pixels.get()),
          static_cast<std::streamsize>(layout.pixel_array_size));
  if (static_cast<uint64_t>(in.gcount()) != layout.pixel_array_size) end_on_short_read(in);
  in.close();
  return unpack_pixel_array(pixels.get(), layout);
}
