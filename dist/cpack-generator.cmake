# Read by cpack for each generator it runs.
# The Debian package holds the Linux tool, the ZIP the Windows programs.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL linux)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_PACKAGE_FILE_NAME upg-deb)
elseif(CPACK_GENERATOR STREQUAL "ZIP")
  set(CPACK_COMPONENTS_ALL windows)
  set(CPACK_PACKAGE_FILE_NAME upg-${CPACK_PACKAGE_VERSION}-win32)
  # Unpacked, it makes one folder of that name.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
