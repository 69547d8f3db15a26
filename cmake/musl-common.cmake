# Shared part of the musl toolchain files; they set SENTREL_MUSL_TRIPLET, the compiler and, for
# a board, CMAKE_SYSTEM_NAME first.
#
# The specs file replaces the C library's headers, start files and library path with musl's
# (-nostdinc leaves gcc's own stddef.h and stdarg.h in place); -nostdinc++ also hides
# libstdc++'s header wrappers, which are configured for glibc, so every <stdio.h> is musl's.
# CMake passes CMAKE_CXX_FLAGS to the link step too, which needs the specs for the start files.
set(SENTREL_MUSL_SPECS /usr/lib/${SENTREL_MUSL_TRIPLET}/musl-gcc.specs)
set(CMAKE_CXX_FLAGS_INIT "-specs=${SENTREL_MUSL_SPECS} -nostdinc++ -fno-pie")

# Static and not position independent: nothing on the board to load shared objects, and
# absolute code is smaller. RELRO protects nothing in a static musl program (no dynamic loader
# ever makes the segment read-only), yet its page alignment would pad the file by up to 4 KiB;
# the build ID is a note nobody on the board reads. A small common page size lets the data
# segment follow the code in the file instead of starting on a fresh page: up to 4 KiB less
# padding, and the same pages mapped at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-static -no-pie -Wl,-z,norelro -Wl,--build-id=none -Wl,-z,common-page-size=16")
# A static link searches an archive only for what the files before it left undefined, so the C
# library and libgcc must follow the objects; link options come before them.
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-lc -lgcc")

# Probes of the compiler must not link: the default libraries they would pull in are the
# C++ runtime built for glibc.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE MinSizeRel CACHE STRING "Build type (musl builds are for size)")
endif()

# Read by the project: link statically, strip after linking, and leave out the GoogleTest unit
# tests, whose C++ runtime exists for the host's glibc only.
set(SENTREL_STATIC ON)
set(SENTREL_STRIP ON)
set(SENTREL_UNIT_TESTS OFF)

# A board build looks for libraries and headers among the board's C library only.
if(CMAKE_SYSTEM_NAME)
  set(CMAKE_FIND_ROOT_PATH /usr/lib/${SENTREL_MUSL_TRIPLET} /usr/include/${SENTREL_MUSL_TRIPLET})
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()
