// Allocation of picture buffers.
#include "image/planar_image.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "cli/run_end.h"
#include "os/memory.h"

byte_buffer alloc_picture_buffer(uint64_t size) {
  // Larger objects do not fit the address space, or (above PTRDIFF_MAX, on
  // 32-bit systems) could not be indexed or read in one request.
  if (size > static_cast<uint64_t>(PTRDIFF_MAX)) end_run(run_failure::memory_alloc);
  byte_buffer buffer(obtain_memory(size == 0 ? 1 : static_cast<size_t>(size)));
  if (!buffer) end_run(run_failure::memory_alloc);
  return buffer;
}

planar_image make_planar_image(int32_t width, int32_t height, uint64_t room) {
  planar_image image;
  image.width = width;
  image.height = height;
  image.room = std::max(room, static_cast<uint64_t>(width) * static_cast<uint64_t>(height));
  for (byte_buffer& plane : image.planes) plane = alloc_picture_buffer(image.room);
  return image;
}
