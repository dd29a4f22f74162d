// Flip, canvas size and composition. Planes are column-major, so every step
// here moves whole contiguous columns.
#include "canvas/canvas.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "image/byte_blocks.h"

namespace {

// Reverses the n bytes at `bytes` in place, a word from each end at a time,
// then the few in the middle one by one.
template <typename word>
void reverse_bytes_in_place(uint8_t* bytes, int64_t n) {
  constexpr int64_t block = BLOCK<word>;
  int64_t low = 0;
  int64_t high = n;
  for (; high - low >= 2 * block; low += block, high -= block) {
    word first;
    word last;
    load_word(bytes + low, first);
    load_word(bytes + high - block, last);
    reverse_word(first);
    reverse_word(last);
    store_word(bytes + low, last);
    store_word(bytes + high - block, first);
  }
  for (--high; low < high; ++low, --high) std::swap(bytes[low], bytes[high]);
}

// Reverses every column of every plane, a word from each end at a time.
template <typename word>
void reverse_columns(planar_image& picture) {
  const int64_t h = picture.height;
  for (size_t c = 0; c < CHANNEL_COUNT; ++c) {
    uint8_t* plane = picture.planes[c].get();
    for (int64_t x = 0; x < picture.width; ++x) reverse_bytes_in_place<word>(plane + x * h, h);
  }
}

#ifdef VANDREL_SSE2_BLOCKS
// reverse_columns with 16-byte SSE2 words, all of it compiled for SSE2.
SSE2_CODE void reverse_columns_sse2(planar_image& picture) { reverse_columns<__m128i>(picture); }
#endif

}  // namespace

planar_image flip_rows(planar_image picture) {
#ifdef VANDREL_SSE2_BLOCKS
  if (sse2_blocks_usable()) {
    reverse_columns_sse2(picture);
    return picture;
  }
#endif
  reverse_columns<uint64_t>(picture);
  return picture;
}

int64_t canvas_side(int64_t width, int64_t height) {
  const double w1 = static_cast<double>(width - 1);
  const double h1 = static_cast<double>(height - 1);
  const double diagonal = std::sqrt(w1 * w1 + h1 * h1);
  const int64_t side = static_cast<int64_t>(diagonal + 0.5) + CANVAS_MARGIN;
  return side % 2 == 0 ? side : side + 1;
}

namespace {

// Moves the picture's samples, held at the front of `plane` column after
// column (w x h), to their place on the s x s canvas in the same memory, and
// fills the rest with grey. Each column moves to a place at or after its own,
// so the columns are moved from the last to the first, and every grey
// stretch is filled only once nothing still to be moved lies there.
void place_on_grey(uint8_t* plane, int64_t s, int64_t w, int64_t h) {
  const int64_t dx = (s - w) / 2;
  const int64_t dy = (s - h) / 2;
  std::memset(plane + (dx + w) * s, GREY_LEVEL, static_cast<size_t>((s - dx - w) * s));  // right
  for (int64_t x = w - 1; x >= 0; --x) {
    uint8_t* column = plane + (x + dx) * s;
    std::memmove(column + dy, plane + x * h, static_cast<size_t>(h));
    std::memset(column, GREY_LEVEL, static_cast<size_t>(dy));
    std::memset(column + dy + h, GREY_LEVEL, static_cast<size_t>(s - dy - h));
  }
  std::memset(plane, GREY_LEVEL, static_cast<size_t>(dx * s));  // left
}

}  // namespace

planar_image compose_on_grey(planar_image upright, int32_t side) {
  const uint64_t canvas_size = static_cast<uint64_t>(side) * static_cast<uint64_t>(side);
  const uint64_t picture_size =
      static_cast<uint64_t>(upright.width) * static_cast<uint64_t>(upright.height);
  planar_image canvas;
  canvas.width = side;
  canvas.height = side;
  canvas.room = std::max(canvas_size, upright.room);
  for (size_t c = 0; c < CHANNEL_COUNT; ++c) {
    if (upright.room >= canvas_size) {
      canvas.planes[c] = std::move(upright.planes[c]);  // composed where the picture is
    } else {
      canvas.planes[c] = alloc_picture_buffer(canvas_size);
      std::memcpy(canvas.planes[c].get(), upright.planes[c].get(),
                  static_cast<size_t>(picture_size));
      upright.planes[c].reset();
    }
    place_on_grey(canvas.planes[c].get(), side, upright.width, upright.height);
  }
  return canvas;
}
