// libFuzzer target: arbitrary bytes through the whole framing path, in
// memory. Every input must be either refused by the header check with one of
// the reader's reasons, or framed into a file whose every pixel is the
// input's pixel or grey, placed where the canvas rules say.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bmp/bmp_format.h"
#include "bmp/bmp_reader.h"
#include "bmp/bmp_writer.h"
#include "canvas/canvas.h"

namespace {

// Larger canvases are skipped to keep each run fast; the size checks that
// guard them are exercised all the same.
constexpr int64_t MAX_FUZZ_SIDE = 600;

void require(bool condition) {
  if (!condition) std::abort();
}

// The framed file's pixel at file row r, column x must be the input's pixel
// or grey.
void check_framed(const uint8_t* data, const bmp_layout& l, const std::vector<uint8_t>& file,
                  int64_t side) {
  const int64_t dx = (side - l.width) / 2;
  const int64_t dy = (side - l.height) / 2;
  const auto stride = static_cast<int64_t>(file_row_stride(side));
  const uint8_t* pixels = data + l.pixel_offset;
  const auto in_stride = static_cast<int64_t>(l.row_stride);
  for (int64_t r = 0; r < side; ++r) {
    const uint8_t* row = file.data() + BMP_HEADER_SIZE + r * stride;
    const int64_t top_row = side - 1 - r - dy;  // picture row counted from the top
    const int64_t stored = l.top_down ? top_row : l.height - 1 - top_row;
    for (int64_t x = 0; x < side; ++x) {
      const int64_t px = x - dx;
      const bool inside = px >= 0 && px < l.width && top_row >= 0 && top_row < l.height;
      for (int64_t c = 0; c < 3; ++c) {
        const uint8_t expected = inside ? pixels[stored * in_stride + 3 * px + c] : GREY_LEVEL;
        require(row[3 * x + c] == expected);
      }
    }
    for (int64_t pad = 3 * side; pad < stride; ++pad) require(row[pad] == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t head_len = size < BMP_MAX_HEADERS_SIZE ? size : BMP_MAX_HEADERS_SIZE;
  const header_check check = check_bmp_headers(data, head_len, size);
  if (!check.accepted) {
    require(check.refusal == run_failure::input_size ||
            check.refusal == run_failure::input_format ||
            check.refusal == run_failure::image_too_large);
    return 0;
  }
  const bmp_layout& l = check.layout;
  require(l.width >= 0 && l.height >= 0);
  require(l.pixel_offset + l.pixel_array_size <= size);
  const int64_t side = canvas_side(l.width, l.height);
  require(side % 2 == 0 && side >= l.width + 5 && side >= l.height + 5);
  if (side > MAX_FUZZ_SIDE) return 0;

  const planar_image canvas = compose_on_grey(
      flip_rows(unpack_pixel_array(data + l.pixel_offset, l)), static_cast<int32_t>(side));
  std::vector<uint8_t> file(bmp24_file_size(side, side));
  fill_bmp_header(file.data(), canvas.width, canvas.height);
  pack_file_rows(canvas, 0, side, file.data() + BMP_HEADER_SIZE);
  require(read_u32le(file.data() + OFFSET_BF_SIZE) == file.size());
  check_framed(data, l, file, side);
  return 0;
}
