# Fails when sentrel needs the C++ runtime or our code refers to an allocator or the exception
# machinery: the program must link against the C library alone, statically for the boards.
#
#   cmake [-DBINARY=<sentrel>] [-DOBJECTS=<a.o|b.o|...>] [-DMAP=<link map>] [-DNM=<nm>]
#         -P check_no_cxx_runtime.cmake
#
# A static, stripped binary has no symbol table left, so the binary alone proves nothing there:
# our object files say what our code calls, and the linker's map says which archive members
# the link pulled in (the C library's own malloc, which its time-zone code and glibc's getpwnam
# need, is fine there).
if(NOT NM)
  set(NM nm)
endif()

set(cxx_runtime "^(_Zn[wa]|_Zd[la]|_ZSt|_ZNSt|_ZTV|_ZTI|__cxa_|__gxx_personality|_Unwind_Resume)")
set(allocator "^(malloc|calloc|realloc|free|aligned_alloc|posix_memalign|strdup|strndup)$")

# Prints the symbols that nm lists as undefined ("U", not the weak "w" references that the C
# library's start files make to optional hooks such as __cxa_finalize).
function(undefined_symbols file options result)
  execute_process(COMMAND ${NM} ${options} ${file} OUTPUT_VARIABLE listing
                  RESULT_VARIABLE failed ERROR_VARIABLE error)
  if(failed AND NOT error MATCHES "no symbols")
    message(FATAL_ERROR "${NM} ${options} ${file} failed: ${error}")
  endif()
  string(REGEX MATCHALL "[ \t]U [^\n]+" entries "${listing}")
  set(names "")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^[ \t]U ([^@ ]+).*" "\\1" name "${entry}")
    list(APPEND names "${name}")
  endforeach()
  set(${result} "${names}" PARENT_SCOPE)
endfunction()

function(reject_symbols names pattern what where)
  foreach(name IN LISTS names)
    if(name MATCHES "${pattern}")
      message(FATAL_ERROR "${where} refers to ${what}: ${name}")
    endif()
  endforeach()
endfunction()

set(checked "")

if(BINARY)
  execute_process(COMMAND readelf -d ${BINARY} OUTPUT_VARIABLE dynamic ERROR_QUIET)
  if(dynamic MATCHES "lib(stdc|supc|c)\\+\\+")
    message(FATAL_ERROR "${BINARY} needs the C++ runtime:\n${dynamic}")
  endif()
  undefined_symbols(${BINARY} "-D;-u" imports)
  reject_symbols("${imports}" "${cxx_runtime}" "the C++ runtime" ${BINARY})
  list(APPEND checked "the binary's imports")
endif()

if(OBJECTS)
  string(REPLACE "|" ";" objects "${OBJECTS}")
  foreach(object IN LISTS objects)
    undefined_symbols(${object} "-u" calls)
    reject_symbols("${calls}" "${cxx_runtime}" "the C++ runtime" ${object})
    reject_symbols("${calls}" "${allocator}" "an allocator" ${object})
  endforeach()
  list(LENGTH objects count)
  list(APPEND checked "${count} object files")
endif()

# The map names each archive member the link included and each shared library it kept. Its
# "LOAD" lines only list the inputs: the C++ compiler's driver always passes libstdc++, which
# --as-needed then drops unless something refers to it.
if(MAP)
  if(NOT EXISTS ${MAP})
    message(FATAL_ERROR "the link map ${MAP} is missing")
  endif()
  file(STRINGS ${MAP} runtime REGEX "lib(stdc|supc|c)\\+\\+(abi)?\\.(a|so)")
  list(FILTER runtime EXCLUDE REGEX "^LOAD ")
  if(runtime)
    list(JOIN runtime "\n" runtime)
    message(FATAL_ERROR "the link of sentrel took in the C++ runtime:\n${runtime}")
  endif()
  list(APPEND checked "the link map")
endif()

if(NOT checked)
  message(FATAL_ERROR "nothing to check: pass BINARY, OBJECTS or MAP")
endif()
list(JOIN checked ", " checked)
message(STATUS "sentrel uses the C library only (checked ${checked})")
