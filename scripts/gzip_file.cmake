# Compresses SOURCE into OUTPUT the way Debian wants documentation: gzip -9n, so no file name
# or time stamp ends up in the header. With VERSION, the version in a man page's .TH line
# (its fourth field, "sentrel X.Y.Z") is replaced by it first, and the uncompressed result is
# kept beside OUTPUT (OUTPUT without .gz) for `cmake --install`.
#
#   cmake -DSOURCE=<file> -DOUTPUT=<file.gz> [-DVERSION=<version>] -P gzip_file.cmake
foreach(required SOURCE OUTPUT)
  if(NOT ${required})
    message(FATAL_ERROR "pass -D${required}=...")
  endif()
endforeach()
if(NOT OUTPUT MATCHES "\\.gz$")
  message(FATAL_ERROR "OUTPUT must end in .gz: ${OUTPUT}")
endif()
string(REGEX REPLACE "\\.gz$" "" plain "${OUTPUT}")
file(READ ${SOURCE} text)
if(VERSION)
  string(REGEX REPLACE "(\n?\\.TH [^\n]*\"sentrel )[^\"\n]*\"" "\\1${VERSION}\"" text "${text}")
endif()
file(WRITE ${plain} "${text}")
execute_process(COMMAND gzip -9nc ${plain} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip -9nc ${plain} failed")
endif()
