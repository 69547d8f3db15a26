# Static, stripped sentrel on musl for the build machine itself (x86-64), the same C library as
# on the boards but without an emulator in the way. musl-tools' musl-gcc only wraps the C
# compiler, so the host g++ is pointed at musl's specs file (package musl-dev) directly.
#
#   cmake --preset musl             (or: cmake -S . -B build/musl
#                                         -DCMAKE_TOOLCHAIN_FILE=cmake/host-musl-toolchain.cmake)
set(SENTREL_MUSL_TRIPLET x86_64-linux-musl)
set(CMAKE_CXX_COMPILER x86_64-linux-gnu-g++)

include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)

set(SENTREL_EXPECTED_MACHINE "X86-64")
set(SENTREL_EXPECTED_CLASS ELF64)
