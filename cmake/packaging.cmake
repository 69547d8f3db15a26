# Installation and the Debian package, included from the top-level CMakeLists.txt.
#
#   cmake --install build/<preset> --prefix /usr/local   bin/sentrel, share/man/man1/sentrel.1
#   cpack --preset release   (or armhf, musl)            build/<preset>/sentrel_<version>_<arch>.deb
#
# `cmake --install` places the program and its manual page only, as a distribution's own
# packaging expects. The .deb gets its Debian files from the component Debian, which a plain
# install leaves out: the man page compressed with gzip -9n, the copyright file, a changelog and,
# for the static musl builds, the lintian override that says the static link is deliberate.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(SENTREL_PACKAGE_MAINTAINER "sentrel developers <sentrel@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

# The uncompressed page, its version filled in, is written beside the compressed one.
set(man_page ${CMAKE_CURRENT_BINARY_DIR}/sentrel.1.gz)
set(plain_man_page ${CMAKE_CURRENT_BINARY_DIR}/sentrel.1)
add_custom_command(OUTPUT ${man_page} ${plain_man_page}
                   COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR}/man/sentrel.1
                           -DOUTPUT=${man_page} -DVERSION=${PROJECT_VERSION}
                           -P ${PROJECT_SOURCE_DIR}/scripts/gzip_file.cmake
                   DEPENDS ${PROJECT_SOURCE_DIR}/man/sentrel.1
                           ${PROJECT_SOURCE_DIR}/scripts/gzip_file.cmake
                   VERBATIM)
add_custom_target(man_page ALL DEPENDS ${man_page} ${plain_man_page})
install(FILES ${plain_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Manual)
install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Debian
        EXCLUDE_FROM_ALL)

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

# The copyright file quotes LICENSE, whose copyright line it takes as its own. Debian's short
# name for the MIT licence is Expat. In the copyright format a text is indented by one blank,
# and an empty line is " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE text)
string(REGEX MATCH "\nCopyright \\(c\\) ([^\n]+)" SENTREL_COPYRIGHT "${text}")
if(NOT SENTREL_COPYRIGHT)
  message(FATAL_ERROR "${PROJECT_SOURCE_DIR}/LICENSE has no \"Copyright (c) ...\" line")
endif()
set(SENTREL_COPYRIGHT "${CMAKE_MATCH_1}")
set(SENTREL_LICENSE_NAME Expat)
string(STRIP "${text}" text)
string(REGEX REPLACE "\n[ \t]*\n" "\n.\n" text "${text}")
string(REGEX REPLACE "\n" "\n " text "${text}")
set(SENTREL_LICENSE_TEXT " ${text}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/copyright.in
               ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright ${changelog}
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT Debian EXCLUDE_FROM_ALL)
if(SENTREL_STATIC)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME sentrel
          COMPONENT Debian EXCLUDE_FROM_ALL)
endif()

set(CPACK_GENERATOR DEB)
# One package from the program and the Debian files; the uncompressed page stays out.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};sentrel;Runtime;/"
                                 "${PROJECT_BINARY_DIR};sentrel;Debian;/")
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
