# Where "cmake --install" puts the program. Included from the top-level CMakeLists.txt once every
# target exists. The help pages are installed by shell.cmake, in share/tervalo/help, which is where
# the program looks for them beside its bin folder.
include(GNUInstallDirs)

# The card simulator goes along: without a card it is the only way to try the program. The
# headless logger is for machines without a desktop.
install(TARGETS tervalo tervalo-log tervalo-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# One picture per size in the freedesktop icon theme, so menus and docks pick a sharp one.
foreach(size 16 24 32 48 64 128 256)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/images/tervalo-${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
    RENAME tervalo.png)
endforeach()
