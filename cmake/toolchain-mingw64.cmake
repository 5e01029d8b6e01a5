# 64-bit Windows from Debian's mingw-w64 (the posix thread model: std::thread
# and std::mutex need it). The runtime (libgcc, libstdc++, winpthread) is
# linked in statically, so the DLL and kav.exe need nothing beside them.
# toolchain-mingw32.cmake sets the 32-bit triple and includes this file.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT VELKART_MINGW_TRIPLE)
    set(VELKART_MINGW_TRIPLE x86_64-w64-mingw32)
    set(CMAKE_SYSTEM_PROCESSOR x86_64)
endif()
set(triple ${VELKART_MINGW_TRIPLE})
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_DLLTOOL ${triple}-dlltool)
# Tests run under wine; ctest starts them through it. wine starts 32-bit
# programs, wine64 only 64-bit ones.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    find_program(VELKART_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
else()
    find_program(VELKART_WINE NAMES wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
endif()
if(VELKART_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VELKART_WINE})
endif()
