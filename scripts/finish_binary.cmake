# Runs after sentrel is linked: strips it when asked, keeping an unstripped copy beside it for
# size analysis (nm --size-sort -S sentrel.unstripped), and prints the size.
#
#   cmake -DBINARY=<sentrel> [-DSTRIP=<strip program>] [-DBUDGET=<bytes>] -P finish_binary.cmake
if(NOT BINARY)
  message(FATAL_ERROR "pass -DBINARY=<sentrel>")
endif()

set(state "not stripped")
if(STRIP)
  execute_process(COMMAND ${CMAKE_COMMAND} -E copy ${BINARY} ${BINARY}.unstripped
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "copying ${BINARY} failed")
  endif()
  # .comment only names the compiler versions.
  execute_process(COMMAND ${STRIP} --strip-all --remove-section=.comment ${BINARY}
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${STRIP} ${BINARY} failed")
  endif()
  set(state "stripped, unstripped copy in ${BINARY}.unstripped")
endif()

file(SIZE ${BINARY} size)
math(EXPR kib "(${size} * 10 + 512) / 1024")
string(REGEX REPLACE "([0-9])$" ".\\1" kib "${kib}")
set(report "${BINARY}: ${size} bytes (${kib} KiB), ${state}")
if(BUDGET)
  math(EXPR spare "${BUDGET} - ${size}")
  string(APPEND report "; budget ${BUDGET}, ${spare} to spare")
endif()
message(STATUS "${report}")
