# Cross build for 32-bit Windows, the tool's home platform, with Debian's
# mingw-w64. This machine cannot run 32-bit Windows programs, so this build
# is compiled (warning-free) while the 32-bit Linux build runs the suite
# with the same 32-bit sizes.
set(MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
