// Memory for picture buffers on POSIX systems: huge pages where Linux offers
// them, the C library's memory elsewhere.
#include <cstdlib>

#include "os/memory.h"

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace {

#ifdef __linux__
// Maps the whole pages inside [memory, memory + bytes) in one call, where
// the kernel can (Linux 5.14 and later), instead of one fault per page at
// the first touch. Advice only: failure changes nothing.
void populate(uint8_t* memory, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  constexpr uintptr_t PAGE = 4096;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(memory) + PAGE - 1) & ~(PAGE - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(memory) + bytes) & ~(PAGE - 1);
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
#else
  static_cast<void>(memory);
  static_cast<void>(bytes);
#endif
}
#endif

}  // namespace

uint8_t* obtain_memory(size_t bytes) {
#ifdef __linux__
  constexpr size_t HUGE_PAGE = size_t{2} << 20;
  constexpr size_t HUGE_PAGE_THRESHOLD = HUGE_PAGE;
  if (bytes >= HUGE_PAGE_THRESHOLD && bytes <= SIZE_MAX - HUGE_PAGE) {
    const size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    void* memory = std::aligned_alloc(HUGE_PAGE, rounded);
    if (memory != nullptr) {
      madvise(memory, rounded, MADV_HUGEPAGE);  // advice only: failure changes nothing
      return static_cast<uint8_t*>(memory);
    }
  }
  auto* memory = static_cast<uint8_t*>(std::malloc(bytes));
  if (memory != nullptr) populate(memory, bytes);
  return memory;
#else
  return static_cast<uint8_t*>(std::malloc(bytes));
#endif
}
