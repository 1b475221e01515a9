# CPack settings: a Debian package on Linux, a folder to copy (zip) for
# Windows. `cmake --workflow --preset package` and `... --preset windows-release`
# configure, build and pack them; the presets choose the generator.
set(CPACK_PACKAGE_NAME tarn-ingest-service)
set(CPACK_PACKAGE_VENDOR TARN)
set(CPACK_PACKAGE_CONTACT "TARN Water Ingest Service maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ESP32 water-meter gateway batches over HTTP into MySQL/MariaDB")
set(CPACK_PACKAGE_DESCRIPTION [[
The TARN Water Ingest Service receives the JSON batches of an ESP32
water-meter gateway over HTTP and writes them to MySQL/MariaDB through
ODBC. It runs as a systemd service once `tarn_ingest_service --install`
has written its unit.]])
set(CPACK_STRIP_FILES ON)

if(NOT WIN32)
  # tarn-ingest-service_<version>_amd64.deb, installed under /usr. Installing
  # starts and enables nothing: the operator edits the configuration, then runs
  # `tarn_ingest_service --install`.
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  # The library versions come from dpkg-shlibdeps (dpkg-dev, and `file`).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS unixodbc)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS odbc-mariadb)
  # postinst: the data folder's mode, a first configuration, and on an
  # upgrade the unit rewritten; prerm: the unit removed with the program.
  # logrotate's rules are a conffile: an edited copy survives an upgrade, and
  # dpkg --purge removes it.
  configure_file(packaging/debian/postinst.in ${CMAKE_BINARY_DIR}/packaging/postinst @ONLY)
  configure_file(packaging/debian/prerm.in ${CMAKE_BINARY_DIR}/packaging/prerm @ONLY)
  file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d/tarn-ingest-service\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/postinst ${CMAKE_BINARY_DIR}/packaging/prerm
      ${CMAKE_BINARY_DIR}/packaging/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
