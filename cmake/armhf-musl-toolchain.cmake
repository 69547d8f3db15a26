# Cross build for 32-bit ARM boards: a static, stripped sentrel on musl, built by Debian's
# arm-linux-gnueabihf-g++ (package g++-arm-linux-gnueabihf) steered onto musl's headers, start
# files and libc.a (package musl-dev:armhf) by the specs file that musl ships for its gcc wrapper.
#
#   cmake --preset armhf            (or: cmake -S . -B build/armhf
#                                         -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-musl-toolchain.cmake)
#
# The program includes C headers only, so the C++ compiler needs nothing from libstdc++: the
# link leaves out every default library and takes musl's libc and libgcc alone.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(SENTREL_MUSL_TRIPLET arm-linux-musleabihf)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)

# Black-box tests run the ARM binary on the build machine through user-mode emulation
# (package qemu-user); being static, it needs no ARM sysroot there. The Cortex-A8 is the oldest
# ARMv7-A core it emulates.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
set(SENTREL_EMULATOR_CPU cortex-a8)

# The board's budget for the stripped binary; the binary check fails above it.
set(SENTREL_SIZE_BUDGET 65536)
set(SENTREL_EXPECTED_MACHINE ARM)
set(SENTREL_EXPECTED_CLASS ELF32)
set(SENTREL_EXPECTED_FLAGS "hard-float ABI")
set(SENTREL_EXPECTED_ATTRIBUTE "Tag_CPU_arch: v7")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
