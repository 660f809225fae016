# Read by cpack for each generator: the Debian package carries the system
# layout under /usr, every other package the per-user one.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL system)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
else()
  set(CPACK_COMPONENTS_ALL user)
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
endif()
