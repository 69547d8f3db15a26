# Cross build for the older 32-bit ARM boards (ARMv5TE and later: ARM926EJ-S SoCs such as
# i.MX28, AT91SAM9 and Kirkwood, the ARM11 of the Raspberry Pi 1 and Zero, and every ARMv7
# core): a static, stripped sentrel on musl, built by Debian's arm-linux-gnueabi-g++ (package
# g++-arm-linux-gnueabi) with musl's headers, start files and libc (package musl-dev:armel).
#
#   cmake --preset armel            (or: cmake -S . -B build/armel
#                                         -DCMAKE_TOOLCHAIN_FILE=cmake/armel-musl-toolchain.cmake)
#
# Soft-float calling convention and ARM (not Thumb) code for ARMv5TE, as the C library and
# libgcc are built: Thumb-1 would gain little beside a C library that has none, and mixing
# modes costs interworking veneers.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(SENTREL_MUSL_TRIPLET arm-linux-musleabi)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)

include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)
string(APPEND CMAKE_CXX_FLAGS_INIT " -march=armv5te -marm -mfloat-abi=soft")

# The suite runs on the oldest core of the baseline, so that any instruction above ARMv5TE
# stops it with SIGILL (package qemu-user).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
set(SENTREL_EMULATOR_CPU arm926)

# ARM code makes it about 40 % larger than the Thumb-2 armhf build.
set(SENTREL_SIZE_BUDGET 98304)
set(SENTREL_EXPECTED_MACHINE ARM)
set(SENTREL_EXPECTED_CLASS ELF32)
set(SENTREL_EXPECTED_FLAGS "soft-float ABI")
set(SENTREL_EXPECTED_ATTRIBUTE "Tag_CPU_arch: v5TE")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armel)
