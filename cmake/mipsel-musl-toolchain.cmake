# Cross build for little-endian 32-bit MIPS boards (MIPS32 release 2 and later: the 24K, 34K,
# 74K and 1004K cores of most routers): a static, stripped sentrel on musl, built by Debian's
# mipsel-linux-gnu-g++ (package g++-mipsel-linux-gnu) with musl's headers, start files and libc
# (package musl-dev:mipsel).
#
#   cmake --preset mipsel           (or: cmake -S . -B build/mipsel
#                                         -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-musl-toolchain.cmake)
#
# The C library is built for MIPS32r2 with the hard-float calling convention: its printf saves
# floating-point registers on every call, which the kernel's FPU emulator serves on the many
# router cores without an FPU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(SENTREL_MUSL_TRIPLET mipsel-linux-musl)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)
string(APPEND CMAKE_CXX_FLAGS_INIT " -march=mips32r2")

# The suite runs on the 24Kf (package qemu-user), the oldest MIPS32r2 core with an FPU that
# qemu offers: unlike the board's kernel, qemu does not emulate a missing FPU.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel)
set(SENTREL_EMULATOR_CPU 24Kf)

set(SENTREL_SIZE_BUDGET 122880)
set(SENTREL_EXPECTED_MACHINE MIPS)
set(SENTREL_EXPECTED_CLASS ELF32)
set(SENTREL_EXPECTED_ATTRIBUTE "ISA: MIPS32r2")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE mipsel)
