// Allocation of picture buffers.
#include "image/planar_image.h"

#include <cstddef>
#include <cstdint>

#include "cli/run_end.h"

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace {

// Obtains `bytes` (> 0) of memory, or null.
//
// Every picture buffer is written once, front to back, soon after it is
// obtained, so the cost of a buffer is mostly the page faults of that first
// touch. On Linux, transparent huge pages cut those faults 512-fold, but this
// kernel setting commonly grants them only to memory that asks (madvise). So
// buffers of 64 KiB or more are rounded up to whole 2 MiB pages, aligned to
// 2 MiB and marked for huge pages. This is the program's only platform call;
// if it is unavailable or refused, the buffer is plain memory and everything
// behaves the same, only slower.
uint8_t* obtain_memory(size_t bytes) {
#ifdef __linux__
  constexpr size_t HUGE_PAGE = size_t{2} << 20;
  constexpr size_t HUGE_PAGE_THRESHOLD = size_t{64} << 10;
  if (bytes >= HUGE_PAGE_THRESHOLD && bytes <= SIZE_MAX - HUGE_PAGE) {
    const size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    void* memory = std::aligned_alloc(HUGE_PAGE, rounded);
    if (memory != nullptr) {
      madvise(memory, rounded, MADV_HUGEPAGE);  // advice only: failure changes nothing
      return static_cast<uint8_t*>(memory);
    }
  }
#endif
  return static_cast<uint8_t*>(std::malloc(bytes));
}

}  // namespace

byte_buffer alloc_picture_buffer(uint64_t size) {
  // Larger objects do not fit the address space, or (above PTRDIFF_MAX, on
  // 32-bit systems) could not be indexed or read in one request.
  if (size > static_cast<uint64_t>(PTRDIFF_MAX)) end_run(run_failure::memory_alloc);
  byte_buffer buffer(obtain_memory(size == 0 ? 1 : static_cast<size_t>(size)));
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
