// A picture held as three channel planes, shared by the reader, the canvas
// and the writer; and the one way picture buffers are obtained.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

struct buffer_release {
  void operator()(uint8_t* p) const noexcept { std::free(p); }
};
using byte_buffer = std::unique_ptr<uint8_t[], buffer_release>;

// Plane indices, in the file's byte order.
constexpr size_t CHANNEL_BLUE = 0;
constexpr size_t CHANNEL_GREEN = 1;
constexpr size_t CHANNEL_RED = 2;
constexpr size_t CHANNEL_COUNT = 3;

// Planes are stored column by column: the sample of column x and row y is at
// index x * height + y. Channels follow the file's byte order (blue, green,
// red). Which row is row 0 (bottom or top) is stated by whoever makes one.
struct planar_image {
  int32_t width = 0;
  int32_t height = 0;
  std::array<byte_buffer, CHANNEL_COUNT> planes;
  uint64_t room = 0;  // samples each plane has memory for, width * height or more
};

// Bytes one pixel row occupies in a 24-bit BMP file: 3 * width rounded up to
// a multiple of 4.
constexpr uint64_t file_row_stride(int64_t width) {
  return (3 * static_cast<uint64_t>(width) + 3) & ~uint64_t{3};
}

// Returns an uninitialised buffer of `size` bytes (size 0 included). A size
// above PTRDIFF_MAX (2 GiB on 32-bit systems), or memory that cannot be had,
// ends the run with the memory message; it never returns null.
byte_buffer alloc_picture_buffer(uint64_t size);

// A picture of width x height with its three planes allocated, not filled,
// each with memory for `room` samples where that is more than width * height
// (so that a later phase can make a larger picture in the same memory).
// Both sizes must be non-negative.
planar_image make_planar_image(int32_t width, int32_t height, uint64_t room = 0);
