# Cross build for little-endian 32-bit MIPS boards (MIPS32 release 2 and later: the 24K, 34K,
# 74K and 1004K cores of most routers): a static, stripped sentrel on musl, built by Debian's
# mipsel-linux-gnu-g++ (package g++-mipsel-linux-gnu) with musl's headers, start files and libc
# (package musl-dev:mipsel).
#
#   cmake --preset mipsel           (or: cmake -S . -B build/mipsel
#                                         -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-musl-toolchain.cmake)
#
# The C library is built for MIPS32r2 with the hard-float calling convention, but of its
# floating-point code only printf touched the FPU, and sentrel no longer links printf: it needs
# neither an FPU nor the kernel's FPU emulator on the many router cores without one.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(SENTREL_MUSL_TRIPLET mipsel-linux-musl)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)
string(APPEND CMAKE_CXX_FLAGS_INIT " -march=mips32r2")

# The suite runs on the 24Kc (package qemu-user), a MIPS32r2 core without an FPU: qemu, unlike
# the board's kernel, does not emulate a missing FPU, so a floating-point instruction that comes
# back into the binary stops the suite.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel)
set(SENTREL_EMULATOR_CPU 24Kc)

set(SENTREL_SIZE_BUDGET 122880)
set(SENTREL_EXPECTED_MACHINE MIPS)
set(SENTREL_EXPECTED_CLASS ELF32)
set(SENTREL_EXPECTED_ATTRIBUTE "ISA: MIPS32r2")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE mipsel)
