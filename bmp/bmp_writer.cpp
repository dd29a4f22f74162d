// Names and writes the output BMP file.
#include "bmp/bmp_writer.h"

#include <algorithm>
#include <cstring>

#include "bmp/bmp_format.h"
#include "cli/run_end.h"
#include "image/byte_blocks.h"
#include "os/output_file.h"

std::string make_output_name(int32_t width, int32_t height, const std::string& name) {
  return std::to_string(width) + "x" + std::to_string(height) + "_" + name + ".bmp";
}

void fill_bmp_header(uint8_t* header, int32_t width, int32_t height) {
  std::memset(header, 0, BMP_HEADER_SIZE);
  header[OFFSET_BF_TYPE] = 'B';
  header[OFFSET_BF_TYPE + 1] = 'M';
  write_u32le(header + OFFSET_BF_SIZE, static_cast<uint32_t>(bmp24_file_size(width, height)));
  write_u32le(header + OFFSET_BF_OFF_BITS, static_cast<uint32_t>(BMP_HEADER_SIZE));
  write_u32le(header + OFFSET_BI_SIZE, static_cast<uint32_t>(BMP_INFO_HEADER_SIZE));
  write_u32le(header + OFFSET_BI_WIDTH, static_cast<uint32_t>(width));
  write_u32le(header + OFFSET_BI_HEIGHT, static_cast<uint32_t>(height));
  write_u32le(header + OFFSET_BI_PLANES, 0x00180001);  // 1 plane, 24 bits per pixel
  write_u32le(header + OFFSET_BI_X_PELS_PER_METER, PELS_PER_METER);
  write_u32le(header + OFFSET_BI_Y_PELS_PER_METER, PELS_PER_METER);
}

namespace {

// All `row_count` local rows, one byte at a time: for canvases narrower than
// a block, and on hosts whose byte order the portable blocks do not assume.
void pack_bytes(const planar_image& picture, int64_t first_row, int64_t row_count, uint8_t* out) {
  const int64_t w = picture.width;
  const int64_t h = picture.height;
  const uint64_t stride = file_row_stride(w);
  for (int64_t r = 0; r < row_count; ++r) {
    const int64_t y = h - 1 - (first_row + r);  // file rows run bottom-up
    uint8_t* px = out + static_cast<uint64_t>(r) * stride;
    for (int64_t x = 0; x < w; ++x) {
      uint8_t* pixel = px + 3 * x;
      for (size_t c = 0; c < CHANNEL_COUNT; ++c) pixel[c] = picture.planes[c].get()[x * h + y];
    }
  }
}

// The BLOCK x BLOCK pixels from column x, canvas row y, with to[k] where the
// 3 * BLOCK bytes of canvas row y + k go: the mirror of the reader's block.
// Word j of each third holds the rows of byte BLOCK * part + j of a row
// segment, read from samples[BLOCK * part + j] (that byte's channel and pixel
// column, for the block at column 0) + x * h + y; transposed, word k is row
// k's part.
template <typename word>
void pack_block(uint8_t* const (&samples)[BLOCK_ROW_BYTES<word>], uint8_t* const (&to)[BLOCK<word>],
                int64_t h, int64_t x, int64_t y) {
  constexpr int64_t block = BLOCK<word>;
  const int64_t offset = x * h + y;
  for (int part = 0; part < 3; ++part) {
    word words[block];
    for (int j = 0; j < block; ++j) load_word(samples[block * part + j] + offset, words[j]);
    transpose_block(words);
    for (int k = 0; k < block; ++k) store_word(to[k] + block * part, words[k]);
  }
}

// Rows packed together: 32 bytes of each sample column. Measured on canvases
// larger than the cache, taller bands are slower: the rows they build no
// longer stay in the nearest caches while the columns stream past.
constexpr int64_t PACK_BAND_ROWS = 32;

// Asks for the `count` samples from row y of the sample columns of the strip
// at column x to be brought into cache.
template <typename word>
void prefetch_columns(uint8_t* const (&samples)[BLOCK_ROW_BYTES<word>], int64_t h, int64_t x,
                      int64_t y, int64_t count) {
  const int64_t offset = x * h + y;
  for (uint8_t* column : samples) {
    prefetch_for_reading(column + offset);
    prefetch_for_reading(column + offset + count - 1);
  }
}

// pack_file_rows with blocks of `word`s, or one byte at a time where the
// canvas has fewer columns than a block, or fewer rows from the first one on.
template <typename word>
void pack_in_blocks(const planar_image& picture, int64_t first_row, int64_t row_count,
                    uint8_t* out) {
  constexpr int64_t block = BLOCK<word>;
  const int64_t w = picture.width;
  const int64_t h = picture.height;
  if (w < block || first_row + row_count < block) {
    pack_bytes(picture, first_row, row_count, out);
    return;
  }
  const uint64_t stride = file_row_stride(w);
  uint8_t* samples[BLOCK_ROW_BYTES<word>];
  block_byte_columns<word>(picture, samples);
  // Where a block's rows that belong to an earlier write go.
  uint8_t spare[block][BLOCK_ROW_BYTES<word>];
  // Bands of up to PACK_BAND_ROWS rows across the picture, strip by strip:
  // each strip reads one run of each of its sample columns and appends to each
  // of the band's rows, which stay in cache until complete. The next strip's
  // runs are fetched meanwhile. At the right edge and at the band's end, the
  // last block is moved back to end with the picture or the rows: it packs
  // some pixels a second time, the same bytes, instead of leaving a remainder
  // to slower code.
  for (int64_t r0 = 0; r0 < row_count; r0 += PACK_BAND_ROWS) {
    const int64_t r1 = std::min(row_count, r0 + PACK_BAND_ROWS);
    const int64_t y_low = h - (first_row + r1);  // the band's lowest canvas row
    for (int64_t strip = 0; strip < w; strip += block) {
      const int64_t x = std::min(strip, w - block);
      if (strip + block < w) {
        prefetch_columns<word>(samples, h, std::min(strip + block, w - block), y_low, r1 - r0);
      }
      for (int64_t band_row = r0; band_row < r1; band_row += block) {
        // Local rows r .. r + block - 1 hold canvas rows y + block - 1 down to
        // y; r is negative only in a write of fewer than block rows.
        const int64_t r = std::min(band_row, row_count - block);
        const int64_t y = h - 1 - (first_row + r + block - 1);
        uint8_t* to[block];
        for (int k = 0; k < block; ++k) {
          const int64_t local = r + block - 1 - k;
          to[k] = local < 0 ? spare[k] : out + static_cast<uint64_t>(local) * stride + 3 * x;
        }
        pack_block<word>(samples, to, h, x, y);
      }
    }
  }
}

#ifdef VANDREL_SSE2_BLOCKS
// pack_in_blocks with the SSE2 blocks, all of it compiled for SSE2.
SSE2_CODE void pack_in_sse2_blocks(const planar_image& picture, int64_t first_row,
                                   int64_t row_count, uint8_t* out) {
  pack_in_blocks<sse2_block_word>(picture, first_row, row_count, out);
}
#endif

}  // namespace

int64_t rows_per_write(int32_t width) {
  constexpr uint64_t WRITE_BYTES = 1 << 20;
  const auto rows =
      static_cast<int64_t>(WRITE_BYTES / std::max<uint64_t>(file_row_stride(width), 1));
  // Whole bands, at least one, so that every write but the picture's last
  // packs whole blocks of rows however wide the picture.
  return std::max<int64_t>(1, rows / PACK_BAND_ROWS) * PACK_BAND_ROWS;
}

void pack_file_rows(const planar_image& picture, int64_t first_row, int64_t row_count,
                    uint8_t* out) {
#ifdef VANDREL_SSE2_BLOCKS
  if (sse2_blocks_usable()) {
    pack_in_sse2_blocks(picture, first_row, row_count, out);
    return;
  }
#endif
  if (host_is_little_endian()) {
    pack_in_blocks<uint64_t>(picture, first_row, row_count, out);
  } else {
    pack_bytes(picture, first_row, row_count, out);
  }
}

namespace {

// Writes header and pixel rows, packing them into `chunk` (zero-filled, of
// rows_per_write rows); true when every byte was accepted.
bool write_contents(output_file& out, const planar_image& picture, uint8_t* chunk) {
  uint8_t header[BMP_HEADER_SIZE];
  fill_bmp_header(header, picture.width, picture.height);
  if (!write_output(out, header, sizeof header)) return false;

  const uint64_t stride = file_row_stride(picture.width);
  const int64_t chunk_rows = rows_per_write(picture.width);
  for (int64_t row = 0; row < picture.height; row += chunk_rows) {
    const int64_t count = std::min<int64_t>(chunk_rows, picture.height - row);
    pack_file_rows(picture, row, count, chunk);
    if (!write_output(out, chunk, static_cast<size_t>(stride * static_cast<uint64_t>(count)))) {
      return false;
    }
  }
  return true;
}

}  // namespace

void write_bmp24(const planar_image& picture, const std::string& path) {
  // The row buffer is obtained first, so that nothing can fail for want of
  // memory once the output is open. Its padding bytes stay zero.
  const uint64_t stride = file_row_stride(picture.width);
  // No more rows than the picture has: a small picture gets a small buffer.
  const int64_t chunk_rows = std::min<int64_t>(rows_per_write(picture.width), picture.height);
  const uint64_t chunk_size = stride * static_cast<uint64_t>(chunk_rows);
  const byte_buffer chunk = alloc_picture_buffer(chunk_size);
  std::memset(chunk.get(), 0, static_cast<size_t>(chunk_size));

  output_target target = find_output_target(path);
  if (!target.usable) end_run(run_failure::output_write);
  target.length = bmp24_file_size(picture.width, picture.height);
  output_file out = open_output(target);
  if (!out.open) end_run(run_failure::output_write);
  if (!write_contents(out, picture, chunk.get()) || !finish_output(out, target)) {
    abandon_output(out);
    end_run(run_failure::output_write);
  }
}
