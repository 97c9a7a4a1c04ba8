# The splash window, the about box with the system information tool, the online help and the
# product's pictures. Included by app/CMakeLists.txt.
target_sources(tervalo_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/frmsplash.h ${CMAKE_CURRENT_LIST_DIR}/frmsplash.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frmabout.h ${CMAKE_CURRENT_LIST_DIR}/frmabout.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sysinfotool.h ${CMAKE_CURRENT_LIST_DIR}/sysinfotool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/help.h ${CMAKE_CURRENT_LIST_DIR}/help.cpp
  ${CMAKE_CURRENT_LIST_DIR}/helpviewer.h ${CMAKE_CURRENT_LIST_DIR}/helpviewer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/images/productimages.h ${CMAKE_CURRENT_LIST_DIR}/images/productimages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/resources.qrc)

# The user's guide: copied beside the built program and installed in the data folder, the two
# places the program looks. Only a build with tests also knows the source tree's pages.
set(TERVALO_HELP_SOURCE_DIR ${PROJECT_SOURCE_DIR}/docs/help)

file(GLOB_RECURSE tervalo_help_pages CONFIGURE_DEPENDS ${TERVALO_HELP_SOURCE_DIR}/*)
set(tervalo_help_stamp ${CMAKE_CURRENT_BINARY_DIR}/help-pages.stamp)
add_custom_command(OUTPUT ${tervalo_help_stamp}
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${TERVALO_HELP_SOURCE_DIR} $<TARGET_FILE_DIR:tervalo>/help
  COMMAND ${CMAKE_COMMAND} -E touch ${tervalo_help_stamp}
  DEPENDS ${tervalo_help_pages}
  COMMENT "Copying the user's guide beside the program"
  VERBATIM)
add_custom_target(tervalo_help_pages ALL DEPENDS ${tervalo_help_stamp})

# The program is defined after this file is read; the dependency is added once it exists, so
# building the program alone also brings its help pages.
function(tervalo_help_follows_program)
  if(TARGET tervalo)
    add_dependencies(tervalo tervalo_help_pages)
  endif()
endfunction()
cmake_language(DEFER CALL tervalo_help_follows_program)

install(DIRECTORY ${TERVALO_HELP_SOURCE_DIR}/ DESTINATION share/tervalo/help)
