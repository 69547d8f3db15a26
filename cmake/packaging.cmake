# Installation and the Debian package, included from the top-level CMakeLists.txt.
#
#   cmake --install build/<preset> --prefix /usr/local   bin/sentrel, share/man/man1/sentrel.1.gz
#   cpack --preset release   (or armhf, musl)            build/<preset>/sentrel_<version>_<arch>.deb
#
# The man page is installed compressed with gzip -9n, as Debian requires; the package also
# carries the copyright file, a changelog and, for the static musl builds, the lintian override
# that says the static link is deliberate.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(SENTREL_PACKAGE_MAINTAINER "sentrel developers <sentrel@example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(SENTREL_LICENSE "" CACHE STRING "Short license name for the copyright file (text: LICENSE)")

set(man_page ${CMAKE_CURRENT_BINARY_DIR}/sentrel.1.gz)
add_custom_command(OUTPUT ${man_page}
                   COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR}/man/sentrel.1
                           -DOUTPUT=${man_page} -DVERSION=${PROJECT_VERSION}
                           -P ${PROJECT_SOURCE_DIR}/scripts/gzip_file.cmake
                   DEPENDS ${PROJECT_SOURCE_DIR}/man/sentrel.1
                           ${PROJECT_SOURCE_DIR}/scripts/gzip_file.cmake
                   VERBATIM)
add_custom_target(man_page ALL DEPENDS ${man_page})
install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# A release gets its entry at the top of the changelog; a version without one fails here.
set(changelog_text ${CMAKE_CURRENT_LIST_DIR}/debian/changelog)
file(STRINGS ${changelog_text} latest LIMIT_COUNT 1)
if(NOT latest MATCHES "^sentrel \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "${changelog_text} starts with \"${latest}\", not with version "
                      "${PROJECT_VERSION}: add an entry for it")
endif()
set(changelog ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz)
add_custom_command(OUTPUT ${changelog}
                   COMMAND ${CMAKE_COMMAND} -DSOURCE=${changelog_text} -DOUTPUT=${changelog}
                           -P ${PROJECT_SOURCE_DIR}/scripts/gzip_file.cmake
                   DEPENDS ${changelog_text} ${PROJECT_SOURCE_DIR}/scripts/gzip_file.cmake
                   VERBATIM)
add_custom_target(changelog ALL DEPENDS ${changelog})

string(TIMESTAMP year "%Y" UTC)
set(SENTREL_COPYRIGHT "${year} the sentrel developers")
set(SENTREL_LICENSE_NAME "${SENTREL_LICENSE}")
set(SENTREL_LICENSE_TEXT "")
if(EXISTS ${PROJECT_SOURCE_DIR}/LICENSE)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE text)
  string(STRIP "${text}" text)
  # In the copyright format a text is indented by one blank, and an empty line is " .".
  string(REGEX REPLACE "\n[ \t]*\n" "\n.\n" text "${text}")
  string(REGEX REPLACE "\n" "\n " text "${text}")
  set(SENTREL_LICENSE_TEXT " ${text}")
endif()
if(NOT SENTREL_LICENSE_NAME)
  set(SENTREL_LICENSE_NAME "not-chosen")
  if(NOT SENTREL_LICENSE_TEXT)
    set(SENTREL_LICENSE_TEXT " No license has been chosen for sentrel yet.")
  endif()
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/copyright.in
               ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright ${changelog}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(SENTREL_STATIC)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME sentrel)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sentrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "process supervisor for small embedded Linux systems")
set(CPACK_PACKAGE_DESCRIPTION [[
sentrel runs a program as its child and starts it again whenever a signal
kills it. It keeps a PID file locked by the program itself, so that the lock
proves the program is alive, and answers liveness queries and stop requests
through it. It can log every start, exit and crash with a time stamp and to
syslog, run a command after each crash, redirect the program's output into
files capped in size with one backup, switch account, working directory and
limits, and detach into the background.
.
It is written for 32-bit ARM boards with a small C library, needs nothing but
the C library, and builds for them as a static executable under 64 KiB.]])
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SENTREL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
if(SENTREL_STATIC)
  # Nothing to depend on: the C library is inside.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
# The cross toolchain names the board's architecture; otherwise dpkg's own is right.
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  unset(CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
endif()
include(CPack)
