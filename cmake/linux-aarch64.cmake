# 64-bit ARM Linux build, run under qemu-aarch64-static.
set(LINUX_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QEMU_NAME qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-clang-cross.cmake)
