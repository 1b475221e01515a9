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
  # starts and enables nothing: the operator writes the configuration, then runs
  # `tarn_ingest_service --install`.
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  # The library versions come from dpkg-shlibdeps (dpkg-dev, and `file`).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS unixodbc)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS odbc-mariadb)
  configure_file(packaging/debian/prerm.in ${CMAKE_BINARY_DIR}/packaging/prerm @ONLY)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/prerm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
