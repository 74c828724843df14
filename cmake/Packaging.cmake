# Installation of the three programs, the desktop entry and the icons, and a Debian package of them
# (cpack -G DEB in the build folder).
include(GNUInstallDirs)

foreach(program wickflash wickflash-cli wickbox)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
  endif()
endforeach()

if(TARGET wickflash)
  install(FILES ${PROJECT_SOURCE_DIR}/app/wickflash.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT programs)
  foreach(size 16 32)
    install(FILES ${PROJECT_SOURCE_DIR}/ui/icons/wickflash-${size}.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
      RENAME wickflash.png COMPONENT programs)
  endforeach()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wickflash)
set(CPACK_PACKAGE_VENDOR "The Wickflash developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Upgrade set-top boxes over RS-232")
set(CPACK_PACKAGE_DESCRIPTION
  "The upgrade window wickflash, the headless wickflash-cli and the simulated box wickbox.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Wickflash developers <wickflash@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
find_program(WICK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(WICK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libqt6core6, libqt6gui6, libqt6widgets6")
endif()
include(CPack)
