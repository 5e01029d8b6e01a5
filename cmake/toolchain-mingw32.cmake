# 32-bit Windows (x86) from Debian's mingw-w64: the library's functions are
# __stdcall there. Everything else as for 64-bit.
set(VELKART_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw64.cmake)
