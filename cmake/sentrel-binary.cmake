# Steps after the sentrel target is linked, included from the top-level CMakeLists.txt:
# prove that the link took nothing from the C++ runtime, strip, and print the size.
#
# The musl toolchain files set SENTREL_STRIP and SENTREL_SIZE_BUDGET; a host MinSizeRel build
# is stripped too.
if(CMAKE_BUILD_TYPE STREQUAL "MinSizeRel")
  set(strip_default ON)
else()
  set(strip_default OFF)
endif()
option(SENTREL_STRIP "Strip sentrel after linking, keeping sentrel.unstripped" ${strip_default})

set(SENTREL_MAP_FILE ${CMAKE_CURRENT_BINARY_DIR}/sentrel.map)
set(finish_steps "")
if(NOT SENTREL_SANITIZE)
  # The sanitizer runtimes bring their own allocator and C++ pieces; every other build must
  # link from the C library alone, and fails here if it did not.
  target_link_options(sentrel PRIVATE "LINKER:-Map=${SENTREL_MAP_FILE}")
  list(APPEND finish_steps
       COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DMAP=${SENTREL_MAP_FILE}
               -DBINARY=$<TARGET_FILE:sentrel>
               "-DOBJECTS=$<JOIN:$<TARGET_OBJECTS:sentrel>,|>"
               -P ${PROJECT_SOURCE_DIR}/scripts/check_no_cxx_runtime.cmake)
endif()
set(strip_program "")
if(SENTREL_STRIP)
  set(strip_program ${CMAKE_STRIP})
endif()
add_custom_command(TARGET sentrel POST_BUILD
                   ${finish_steps}
                   COMMAND ${CMAKE_COMMAND} -DBINARY=$<TARGET_FILE:sentrel>
                           -DSTRIP=${strip_program} -DBUDGET=${SENTREL_SIZE_BUDGET}
                           -P ${PROJECT_SOURCE_DIR}/scripts/finish_binary.cmake
                   BYPRODUCTS ${SENTREL_MAP_FILE}
                   VERBATIM)
