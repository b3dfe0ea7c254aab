# The Debian package (cmake --build build --target package):
# quorvel_<version>_<arch>.deb with the program, a commented Quorvel.ini
# (a conffile) and the service's unit; packaging/postinst makes the system
# user and starts nothing.

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

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quorvel developers <quorvel@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Syslog server with keyword alert mail (Shift_JIS)")
set(CPACK_PACKAGE_DESCRIPTION "Receives syslog datagrams over UDP, writes each to a log unparsed and mails an alert when a message holds a configured keyword.")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# libstdc++ and libgcc are linked in; useradd comes from passwd; TLS of alert
# mail is the system's OpenSSL, linked dynamically so its updates apply, as
# is zlib (compression of old logs).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.36), libssl3 (>= 3.0.0), zlib1g (>= 1:1.2.0), passwd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/conffiles
  ${PROJECT_SOURCE_DIR}/packaging/postinst
  ${PROJECT_SOURCE_DIR}/packaging/prerm
  ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
