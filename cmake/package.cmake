# The Debian package (cmake --build build --target package):
# quorvel_<version>_<arch>.deb with the program, a commented Quorvel.ini
# (a conffile), the service's unit, the documents, the manual page and a
# sysctl.d file; packaging/postinst makes the system user and starts nothing.

# The program's own version (-VERSION) moves by hand; the package's must
# move with every commit, or apt takes a rebuilt package for the installed
# one and upgrades nothing. 1.02+N, N the commit count, sorts above 1.02 and
# above every earlier N. QUORVEL_PACKAGE_REVISION overrides the count (a
# source tree without git, or a packager's own numbering).
set(QUORVEL_PACKAGE_REVISION "" CACHE STRING "N of the package version <version>+N (empty: the git commit count)")
set(quorvel_revision "${QUORVEL_PACKAGE_REVISION}")
if(quorvel_revision STREQUAL "")
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE quorvel_revision
      OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE quorvel_git_rc ERROR_QUIET)
    # A commit or a checkout moves HEAD's log: the next build configures
    # again and the package gets the new count.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute --git-path logs/HEAD
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE quorvel_git_log
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(quorvel_git_log AND EXISTS "${quorvel_git_log}")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${quorvel_git_log}")
    endif()
    if(NOT quorvel_git_rc EQUAL 0)
      set(quorvel_revision "")
    endif()
  endif()
endif()
if(NOT quorvel_revision MATCHES "^[0-9]+$")
  # Still above a plain 1.02, below every counted build.
  message(STATUS "No git commit count: package version ${PROJECT_VERSION}+0 (set QUORVEL_PACKAGE_REVISION)")
  set(quorvel_revision 0)
endif()

# The ini is kept as plain text in the source; the program reads Shift_JIS
# with CR LF, and ASCII is already Shift_JIS.
file(READ ${PROJECT_SOURCE_DIR}/packaging/Quorvel.ini quorvel_ini)
string(REGEX REPLACE "\r?\n" "\r\n" quorvel_ini "${quorvel_ini}")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/Quorvel.ini "${quorvel_ini}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/Quorvel.ini)

install(TARGETS quorvel RUNTIME DESTINATION opt/quorvel
  PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(FILES ${PROJECT_BINARY_DIR}/packaging/Quorvel.ini DESTINATION opt/quorvel
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/QuorvelService.service DESTINATION lib/systemd/system
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/configuration.md
  ${PROJECT_SOURCE_DIR}/docs/linux.md DESTINATION usr/share/doc/quorvel
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# Debian keeps manual pages compressed; man reads the plain page as well.
find_program(QUORVEL_GZIP gzip)
set(quorvel_man ${PROJECT_SOURCE_DIR}/packaging/quorvel.8)
if(QUORVEL_GZIP)
  execute_process(COMMAND ${QUORVEL_GZIP} -9nc ${quorvel_man} OUTPUT_FILE ${PROJECT_BINARY_DIR}/packaging/quorvel.8.gz)
  set(quorvel_man ${PROJECT_BINARY_DIR}/packaging/quorvel.8.gz)
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/quorvel.8)
install(FILES ${quorvel_man} DESTINATION usr/share/man/man8
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-quorvel.conf DESTINATION usr/lib/sysctl.d
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}+${quorvel_revision})
set(CPACK_PACKAGE_CONTACT "Quorvel developers <quorvel@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Syslog server with keyword alert mail (Shift_JIS)")
set(CPACK_PACKAGE_DESCRIPTION "Receives syslog datagrams over UDP, writes each to a log unparsed and mails an alert when a message holds a configured keyword.")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# libstdc++ and libgcc are linked in; useradd comes from passwd; TLS of alert
# mail is the system's OpenSSL, linked dynamically so its updates apply.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.36), libssl3 (>= 3.0.0), passwd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/conffiles
  ${PROJECT_SOURCE_DIR}/packaging/postinst
  ${PROJECT_SOURCE_DIR}/packaging/prerm
  ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
