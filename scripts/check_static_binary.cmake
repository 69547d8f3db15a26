# Fails unless BINARY is a stripped, statically linked executable for the expected machine and,
# when BUDGET is given, at most BUDGET bytes long: what the boards need and can hold.
#
#   cmake -DBINARY=<sentrel> -DMACHINE=ARM -DCLASS=ELF32 [-DFLAGS="hard-float ABI"]
#         [-DATTRIBUTE="Tag_CPU_arch: v7"] [-DBUDGET=65536] [-DREADELF=readelf]
#         -P check_static_binary.cmake
#
# ATTRIBUTE is a regular expression that must match the end of a line of readelf -A's output:
# the instruction set the binary needs at most, which the machine name alone does not tell.
foreach(required BINARY MACHINE CLASS)
  if(NOT ${required})
    message(FATAL_ERROR "pass -D${required}=...")
  endif()
endforeach()
if(NOT READELF)
  set(READELF readelf)
endif()

function(readelf option result)
  execute_process(COMMAND ${READELF} ${option} ${BINARY} OUTPUT_VARIABLE output
                  RESULT_VARIABLE failed ERROR_VARIABLE error)
  if(failed)
    message(FATAL_ERROR "${READELF} ${option} ${BINARY} failed: ${error}")
  endif()
  set(${result} "${output}" PARENT_SCOPE)
endfunction()

set(problems "")
readelf(-hW header)
if(NOT header MATCHES "Class: +${CLASS}\n")
  list(APPEND problems "not ${CLASS}")
endif()
# Every board we build for runs little-endian.
if(NOT header MATCHES "Data: +[^\n]*little endian")
  list(APPEND problems "not little-endian")
endif()
if(NOT header MATCHES "Machine: +[^\n]*${MACHINE}")
  list(APPEND problems "not built for ${MACHINE}")
endif()
# On ARM the flags tell the calling convention: armhf boards run hard-float code only.
if(FLAGS AND NOT header MATCHES "Flags: +[^\n]*${FLAGS}")
  list(APPEND problems "flags lack ${FLAGS}")
endif()
if(NOT header MATCHES "Type: +EXEC ")
  list(APPEND problems "not a plain (non-PIE) executable")
endif()

if(ATTRIBUTE)
  readelf(-AW attributes)
  if(NOT attributes MATCHES "${ATTRIBUTE}\n")
    list(APPEND problems "attributes lack ${ATTRIBUTE}")
  endif()
endif()

# No program interpreter and no dynamic section: nothing to load at run time.
readelf(-lW segments)
if(segments MATCHES "\n +(INTERP|DYNAMIC) ")
  list(APPEND problems "dynamically linked")
endif()

readelf(-SW sections)
if(sections MATCHES "\\.symtab|\\.debug_")
  list(APPEND problems "not stripped")
endif()

file(SIZE ${BINARY} size)
if(BUDGET AND size GREATER BUDGET)
  list(APPEND problems "${size} bytes, over the budget of ${BUDGET}")
endif()

string(REGEX MATCH "Machine: +[^\n]*" machine "${header}")
string(REGEX REPLACE "Machine: +" "" machine "${machine}")
if(problems)
  list(JOIN problems "; " problems)
  message(FATAL_ERROR "${BINARY} (${machine}, ${size} bytes): ${problems}")
endif()
message(STATUS "${BINARY}: static stripped ${CLASS} executable, ${machine}, ${size} bytes")
