// Preloaded into the program by the tests (LD_PRELOAD): stands in for the C
// library's malloc and refuses every allocation of exactly the size the
// environment variable VANDREL_TEST_REFUSED_SIZE gives, as a system out of
// memory would, so that a test can make one chosen allocation fail.
#include <cerrno>
#include <cstddef>
#include <cstdlib>

extern "C" void* __libc_malloc(size_t size);

extern "C" void* malloc(size_t size) {
  const char* refused = std::getenv("VANDREL_TEST_REFUSED_SIZE");
  if (refused != nullptr && size == std::strtoull(refused, nullptr, 10)) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}
