# Read by cpack for each generator (CPACK_PROJECT_CONFIG_FILE).
if(CPACK_GENERATOR STREQUAL "TGZ")
  # The update archive: the bundle component alone, Brimo.app at its top.
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_BRIMO_BUNDLE_PROJECT}")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_BRIMO_ARCHIVE_NAME}")
elseif(CPACK_GENERATOR STREQUAL "DEB")
  # The bundle under the prefix; the system files' absolute destinations land in the package's
  # tree through DESTDIR, never in this machine's.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_INSTALL_PREFIX "${CPACK_BRIMO_PACKAGE_PREFIX}")
  set(CPACK_PACKAGING_INSTALL_PREFIX "${CPACK_BRIMO_PACKAGE_PREFIX}")
endif()
