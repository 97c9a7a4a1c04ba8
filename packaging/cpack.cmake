# The desktop menu entry, the manual pages, the systemd units, the copyright notice and the Debian
# package. Included last from the top-level CMakeLists.txt, after the install rules, so the
# package holds everything "cmake --install" lays out.
include(GNUInstallDirs)

install(FILES ${CMAKE_CURRENT_LIST_DIR}/tervalo.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

# Manual pages, compressed as Debian keeps them. gzip -n leaves the name and time stamp out, so
# the same sources make the same package.
set(tervalo_man_dir ${PROJECT_BINARY_DIR}/man)
set(tervalo_man_pages)
foreach(page tervalo.1 tervalo-log.1 tervalo-sim.1)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${page}.in ${tervalo_man_dir}/${page} @ONLY)
  add_custom_command(OUTPUT ${tervalo_man_dir}/${page}.gz
    COMMAND gzip -9nkf ${page}
    WORKING_DIRECTORY ${tervalo_man_dir}
    DEPENDS ${tervalo_man_dir}/${page}
    VERBATIM)
  list(APPEND tervalo_man_pages ${tervalo_man_dir}/${page}.gz)
endforeach()
add_custom_target(tervalo_man_pages ALL DEPENDS ${tervalo_man_pages})
install(FILES ${tervalo_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Logging without a display, as a system service. The single-card unit has to be edited (the
# adapter's name, the card's settings) and copied to /etc, so it is an example. The template
# takes the adapter as its instance and needs no editing, so it goes where systemd looks for the
# units a package ships: lib/systemd/system below the prefix, not CMAKE_INSTALL_LIBDIR, which is
# lib/<multiarch triplet> on Debian. Neither is enabled and no maintainer script reloads systemd:
# which adapter to log, if any, is the operator's choice. Both name /usr/bin/tervalo-log, where
# the package puts it; an install under another prefix has to edit ExecStart=.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tervalo-log.service
  ${CMAKE_CURRENT_LIST_DIR}/tervalo-log-mqtt.conf
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tervalo/examples)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tervalo-log@.service
  DESTINATION lib/systemd/system)

# Named after the package, not the project ("Tervalo"), where Debian looks for it.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tervalo)

set(CPACK_PACKAGE_NAME tervalo)
set(CPACK_PACKAGE_VENDOR Quillmar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quillmar <support@quillmar.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Thermocouple logger for the Maravex card")
# Lines of at most 80 characters, as Debian's tools expect of a description.
set(CPACK_PACKAGE_DESCRIPTION
  "Tervalo reads Quillmar's Maravex (Rev B) thermocouple card and the Maravex-DAQ
module over a serial port. It shows the six channels as raw counts, Celsius or
Fahrenheit, appends every reading to a CSV log and plots the last readings in a
printable graph. tervalo-log logs the card without a display, also as a systemd
service for each serial adapter. The card simulator tervalo-sim is included, so
the program can be tried without a card.")
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
# The window layouts are measured against Arial, and Liberation Sans has its metrics; the wider
# fallback, DejaVu Sans, is wider and the captions no longer fit as drawn, so the font is a
# dependency, not a recommendation.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation")
# Without the Wayland plugin Qt falls back to XWayland and says so on every start.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)

include(CPack)
