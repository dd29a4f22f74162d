// Validates and loads the input BMP file.
#include "bmp/bmp_reader.h"

#include <algorithm>
#include <fstream>

#include "bmp/bmp_format.h"
#include "canvas/canvas.h"

namespace {

bool is_known_info_header_size(uint32_t size) {
  return size == 40 || size == 52 || size == 56 || size == 108 || size == 124;
}

header_check refuse(run_failure why) {
  header_check check;
  check.refusal = why;
  return check;
}

// Whether the fields describe an uncompressed 24-bit picture this program reads.
bool fields_supported(const uint8_t* head, uint32_t compression, uint64_t headers_end) {
  const int32_t width = read_i32le(head + OFFSET_BI_WIDTH);
  const int32_t height = read_i32le(head + OFFSET_BI_HEIGHT);
  const bool plain_masks = read_u32le(head + OFFSET_MASKS) == RED_MASK &&
                           read_u32le(head + OFFSET_MASKS + 4) == GREEN_MASK &&
                           read_u32le(head + OFFSET_MASKS + 8) == BLUE_MASK;
  return head[OFFSET_BF_TYPE] == 'B' && head[OFFSET_BF_TYPE + 1] == 'M' &&
         is_known_info_header_size(read_u32le(head + OFFSET_BI_SIZE)) &&
         read_u16le(head + OFFSET_BI_PLANES) == 1 && read_u16le(head + OFFSET_BI_BIT_COUNT) == 24 &&
         (compression == BI_RGB || (compression == BI_BITFIELDS && plain_masks)) && width >= 0 &&
         height != INT32_MIN && read_u32le(head + OFFSET_BF_OFF_BITS) >= headers_end;
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

planar_image unpack_pixel_array(const uint8_t* pixels, const bmp_layout& layout) {
  // Rows become columns: walk the picture in square tiles so that both the
  // rows read and the columns written stay in cache.
  constexpr int64_t TILE = 64;
  const int64_t w = layout.width;
  const int64_t h = layout.height;
  planar_image picture = make_planar_image(layout.width, layout.height);
  uint8_t* blue = picture.planes[CHANNEL_BLUE].get();
  uint8_t* green = picture.planes[CHANNEL_GREEN].get();
  uint8_t* red = picture.planes[CHANNEL_RED].get();
  for (int64_t y0 = 0; y0 < h; y0 += TILE) {
    const int64_t y1 = std::min(h, y0 + TILE);
    for (int64_t x0 = 0; x0 < w; x0 += TILE) {
      const int64_t x1 = std::min(w, x0 + TILE);
      for (int64_t y = y0; y < y1; ++y) {
        const int64_t stored_row = layout.top_down ? h - 1 - y : y;
        const uint8_t* px = pixels + static_cast<uint64_t>(stored_row) * layout.row_stride;
        for (int64_t x = x0; x < x1; ++x) {
          blue[x * h + y] = px[3 * x];
          green[x * h + y] = px[3 * x + 1];
          red[x * h + y] = px[3 * x + 2];
        }
      }
    }
  }
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
