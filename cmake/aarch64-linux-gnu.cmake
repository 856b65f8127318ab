# aarch64-linux-gnu.cmake: cross-compile Quarnel for Linux on ARM64 with Debian's cross
# compiler (package g++-aarch64-linux-gnu, whose target libraries live in
# /usr/aarch64-linux-gnu).
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# or `make arm64`. The program is linked dynamically, like the native one and as Debian
# wants it; on this machine it runs under qemu-aarch64 (package qemu-user), which loads
# its libraries from that tree (-L). CMake runs target programs through
# CMAKE_CROSSCOMPILING_EMULATOR, and so do the end-to-end tests (tests/CMakeLists.txt,
# QUARNEL_TARGET). The scan kernels are the portable ones (CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLET}-g++)

# Headers and libraries come from the target's tree only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${CROSS_TRIPLET})
