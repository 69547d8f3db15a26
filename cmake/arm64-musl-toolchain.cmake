# Cross build for 64-bit ARM boards (ARMv8-A and later): a static, stripped sentrel on musl,
# built by Debian's aarch64-linux-gnu-g++ (package g++-aarch64-linux-gnu) with musl's headers,
# start files and libc (package musl-dev:arm64).
#
#   cmake --preset arm64            (or: cmake -S . -B build/arm64
#                                         -DCMAKE_TOOLCHAIN_FILE=cmake/arm64-musl-toolchain.cmake)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(SENTREL_MUSL_TRIPLET aarch64-linux-musl)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)
# Plain ARMv8.0: no instruction of a later extension, whatever the compiler's default.
string(APPEND CMAKE_CXX_FLAGS_INIT " -march=armv8-a")

# The suite runs on the oldest ARMv8.0 core user-mode emulation offers (package qemu-user).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
set(SENTREL_EMULATOR_CPU cortex-a53)

# 64-bit code and data make it about a third larger than the Thumb-2 armhf build.
set(SENTREL_SIZE_BUDGET 106496)
set(SENTREL_EXPECTED_MACHINE AArch64)
set(SENTREL_EXPECTED_CLASS ELF64)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
