# The desktop menu entry and the Debian package. Included last from the top-level CMakeLists.txt,
# after the install rules, so the package holds everything "cmake --install" lays out.
include(GNUInstallDirs)

install(FILES ${CMAKE_CURRENT_LIST_DIR}/tervalo.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

set(CPACK_PACKAGE_NAME tervalo)
set(CPACK_PACKAGE_VENDOR Quillmar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quillmar <support@quillmar.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Thermocouple logger for the Maravex card")
set(CPACK_PACKAGE_DESCRIPTION
  "Tervalo reads Quillmar's Maravex (Rev B) thermocouple card and the Maravex-DAQ module over a
serial port. It shows the six channels as raw counts, Celsius or Fahrenheit, appends every
reading to a CSV log and plots the last readings in a printable graph.
The card simulator tervalo-sim is included, so the program can be tried without a card.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY tervalo)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quillmar <support@quillmar.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The Qt libraries come from dpkg-shlibdeps; the platform plugins are loaded at run time, so
# no linker record names them and they have to be asked for by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
# The window layouts are measured against Arial; Liberation Sans has the same metrics.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-liberation)

include(CPack)
