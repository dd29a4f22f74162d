# What the Linux cross builds made with clang share; LINUX_TRIPLE names the
# target and QEMU_NAME the emulator that runs it. clang targets any processor
# by itself; the C library, libstdc++ and the linker come from Debian's cross
# packages (libc6-dev-*-cross, libstdc++-12-dev-*-cross, binutils-*), which
# install beside g++-multilib, where the gcc cross compilers would remove it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${LINUX_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${LINUX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/${LINUX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static, so that qemu-user runs the programs without the target's loader.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_NAME})
