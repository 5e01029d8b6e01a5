# Cross-building for 64-bit ARM Linux on a Debian amd64 host, with Debian's
# multiarch packages: the cross compilers of crossbuild-essential-arm64 and
# the ":arm64" development packages, whose files sit beside the host's in
# /usr/lib/aarch64-linux-gnu. Programs built here run under qemu's user-mode
# emulation (qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(arm64_triplet aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${arm64_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${arm64_triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${arm64_triplet})
# Debian's wrapper that reads only the arm64 .pc files.
set(PKG_CONFIG_EXECUTABLE ${arm64_triplet}-pkg-config CACHE FILEPATH "pkg-config for arm64")

# Multiarch keeps both architectures under /usr: the libraries apart by
# folder, the headers shared. The root stays /, and only programs run on the
# build machine are looked for among the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${arm64_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Qt's build tools (moc, rcc, uic) are the host's, from qt6-base-dev-tools.
set(QT_HOST_PATH /usr CACHE PATH "Qt's host tools' prefix")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "Qt's host tools' CMake files")

# Test programs (and GoogleTest's discovery of their cases) run through
# qemu, with the arm64 loader and C library of libc6:arm64 in their usual
# places. Not "-L /usr/aarch64-linux-gnu": under that prefix the pty tests
# hang at their first exchange.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
