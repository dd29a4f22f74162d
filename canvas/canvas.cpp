// Flip, canvas size and composition. Planes are column-major, so every step
// here moves whole contiguous columns.
#include "canvas/canvas.h"

#include <cmath>
#include <cstring>

#include "image/byte_blocks.h"

namespace {

// Copies n bytes from `in` to `out` in reverse order, a block word at a time.
// It reads forward and writes backward, which streams faster than the other
// way round.
void reverse_copy_bytes(const uint8_t* in, uint8_t* out, int64_t n) {
  int64_t i = 0;
  for (; i + BLOCK <= n; i += BLOCK) {
    store_block_word(out + n - BLOCK - i, reverse_block_word(load_block_word(in + i)));
  }
  for (; i < n; ++i) out[n - 1 - i] = in[i];
}

}  // namespace

planar_image flip_rows(const planar_image& picture) {
  const int64_t h = picture.height;
  planar_image flipped = make_planar_image(picture.width, picture.height);
  for (size_t c = 0; c < CHANNEL_COUNT; ++c) {
    const uint8_t* in = picture.planes[c].get();
    uint8_t* out = flipped.planes[c].get();
    for (int64_t x = 0; x < picture.width; ++x) {
      reverse_copy_bytes(in + x * h, out + x * h, h);
    }
  }
  return flipped;
}

int64_t canvas_side(int64_t width, int64_t height) {
  const double w1 = static_cast<double>(width - 1);
  const double h1 = static_cast<double>(height - 1);
  const double diagonal = std::sqrt(w1 * w1 + h1 * h1);
  const int64_t side = static_cast<int64_t>(diagonal + 0.5) + CANVAS_MARGIN;
  return side % 2 == 0 ? side : side + 1;
}

planar_image compose_on_grey(const planar_image& upright, int32_t side) {
  const int64_t s = side;
  const int64_t w = upright.width;
  const int64_t h = upright.height;
  const int64_t dx = (s - w) / 2;
  const int64_t dy = (s - h) / 2;
  planar_image canvas = make_planar_image(side, side);
  for (size_t c = 0; c < CHANNEL_COUNT; ++c) {
    const uint8_t* in = upright.planes[c].get();
    uint8_t* out = canvas.planes[c].get();
    // Left band, then the picture's columns, then the right band.
    std::memset(out, GREY_LEVEL, static_cast<size_t>(dx * s));
    for (int64_t x = 0; x < w; ++x) {
      uint8_t* column = out + (x + dx) * s;
      std::memset(column, GREY_LEVEL, static_cast<size_t>(dy));
      std::memcpy(column + dy, in + x * h, static_cast<size_t>(h));
      std::memset(column + dy + h, GREY_LEVEL, static_cast<size_t>(s - dy - h));
    }
    std::memset(out + (dx + w) * s, GREY_LEVEL, static_cast<size_t>((s - dx - w) * s));
  }
  return canvas;
}
