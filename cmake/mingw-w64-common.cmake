# What both Windows cross builds share; MINGW_TRIPLE names the compiler.
# The -posix compilers have the C++ thread support GoogleTest needs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static, so that vandrel.exe runs on a bare Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Tests run under wine64, which runs 32-bit programs too (see mingw-w64-i686.cmake),
# started with the same address-space layout every time (see the script).
find_program(WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine64-fixed-layout.sh)
endif()
