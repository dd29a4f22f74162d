# Cross build for 32-bit Windows, the tool's home platform, with Debian's
# mingw-w64. Tests run under wine64 in its WoW64 mode, which needs Wine's
# 32-bit Windows libraries on WINEDLLPATH (tests/run_all.sh sets them up).
set(MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
