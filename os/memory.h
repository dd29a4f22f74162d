// Memory for picture buffers from the operating system: huge pages where
// Linux offers them, plain memory elsewhere. memory_posix.cpp and
// memory_windows.cpp implement it.
#pragma once

#include <cstddef>
#include <cstdint>

// Obtains `bytes` (> 0) of memory, or null.
//
// Every picture buffer is written once, front to back, soon after it is
// obtained, so the cost of a buffer is mostly the page faults of that first
// touch. On Linux, transparent huge pages cut those faults 512-fold, but this
// kernel setting commonly grants them only to memory that asks (madvise). So
// buffers of 2 MiB or more are rounded up to whole 2 MiB pages, aligned to
// 2 MiB and marked for huge pages. If that is unavailable or refused, the
// buffer is plain memory and everything behaves the same, only slower.
// Smaller buffers stay plain memory, so that rounding never more than
// doubles what a buffer costs to clear. Release the memory with std::free.
uint8_t* obtain_memory(size_t bytes);
