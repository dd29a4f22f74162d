// Memory for picture buffers on Windows: the C library's, which takes large
// blocks straight from the system.
#include <cstdlib>

#include "os/memory.h"

uint8_t* obtain_memory(size_t bytes) { return static_cast<uint8_t*>(std::malloc(bytes)); }
