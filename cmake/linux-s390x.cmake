# Big-endian 64-bit Linux build (IBM Z), run under qemu-s390x-static: the
# host on which the reader and the writer move single bytes.
set(LINUX_TRIPLE s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(QEMU_NAME qemu-s390x-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-clang-cross.cmake)
