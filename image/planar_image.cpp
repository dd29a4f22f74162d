// Allocation of picture buffers.
#include "image/planar_image.h"

#include <cstdint>

#include "cli/run_end.h"

byte_buffer alloc_picture_buffer(uint64_t size) {
  if (size > SIZE_MAX) end_run(run_failure::memory_alloc);
  const size_t bytes = size == 0 ? 1 : static_cast<size_t>(size);
  byte_buffer buffer(static_cast<uint8_t*>(std::malloc(bytes)));
  if (!buffer) end_run(run_failure::memory_alloc);
  return buffer;
}

planar_image make_planar_image(int32_t width, int32_t height) {
  planar_image image;
  image.width = width;
  image.height = height;
  const uint64_t plane_size = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  for (byte_buffer& plane : image.planes) plane = alloc_picture_buffer(plane_size);
  return image;
}
