# What gets installed, and the packages CPack makes of it: the Windows installer (NSIS64, from
# packaging/NSIS.template.in) and the Debian package with the systemd template unit.
set(BRISCA_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(BRISCA_VENDOR "(주)Tevo네트웍스")

if(WIN32)
  install(TARGETS brisca RUNTIME DESTINATION .)
else()
  install(TARGETS brisca RUNTIME DESTINATION bin)
  if(TARGET brisca-termsim)
    install(TARGETS brisca-termsim brisca-servsim RUNTIME DESTINATION lib/brisca)
  endif()
  # Debian wants the man page and the changelog compressed without names or dates in the header.
  set(gz_dir ${CMAKE_BINARY_DIR}/packaging)
  add_custom_command(OUTPUT ${gz_dir}/brisca.1.gz ${gz_dir}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${gz_dir}
    COMMAND gzip -9n -c ${BRISCA_PACKAGING_DIR}/brisca.1 > ${gz_dir}/brisca.1.gz
    COMMAND gzip -9n -c ${BRISCA_PACKAGING_DIR}/changelog > ${gz_dir}/changelog.gz
    DEPENDS ${BRISCA_PACKAGING_DIR}/brisca.1 ${BRISCA_PACKAGING_DIR}/changelog)
  add_custom_target(brisca_package_docs ALL DEPENDS ${gz_dir}/brisca.1.gz ${gz_dir}/changelog.gz)
  install(FILES ${gz_dir}/brisca.1.gz DESTINATION share/man/man1)
  install(FILES ${gz_dir}/changelog.gz ${BRISCA_PACKAGING_DIR}/copyright DESTINATION share/doc/brisca)
  install(FILES ${BRISCA_PACKAGING_DIR}/brisca@.service DESTINATION /lib/systemd/system)
  install(FILES ${BRISCA_PACKAGING_DIR}/settings.ini.example DESTINATION share/doc/brisca/examples
          RENAME settings.ini)
  install(FILES ${BRISCA_PACKAGING_DIR}/deb/lintian-overrides DESTINATION share/lintian/overrides
          RENAME brisca)
endif()

# cpack packs what the build made; it does not build the whole tree (tests included) again first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_PACKAGE_NAME brisca)
set(CPACK_PACKAGE_VENDOR "${BRISCA_VENDOR}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "Tevo Networks <support@tevonetworks.co.kr>")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_THREADS 1)
# Signs the staged brisca.exe when a certificate is configured; dates every staged file.
set(CPACK_PRE_BUILD_SCRIPTS ${BRISCA_PACKAGING_DIR}/stage.cmake)
set(CPACK_BRISCA_SIGN_SCRIPT ${BRISCA_PACKAGING_DIR}/sign.sh)
# The Linux programs lose the compiler's notes as well (dh_strip does the same).
set(CPACK_BRISCA_OBJCOPY "${CMAKE_OBJCOPY}")

if(WIN32)
  set(CPACK_GENERATOR NSIS64)
  set(CPACK_PACKAGE_FILE_NAME "brisca-${PROJECT_VERSION}-setup")
  set(CPACK_PACKAGE_INSTALL_DIRECTORY Brisca)
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Brisca)
  set(CPACK_NSIS_PACKAGE_NAME Brisca)
  set(CPACK_NSIS_DISPLAY_NAME Brisca)
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  set(CPACK_NSIS_MUI_ICON ${CMAKE_BINARY_DIR}/src/app/win32/res/brisca.ico)
  set(CPACK_NSIS_MUI_UNIICON ${CMAKE_BINARY_DIR}/src/app/win32/res/brisca.ico)
  set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
  # The settings key of the program (settings_store.cpp), below HKLM\Software. CPack writes the
  # value into CPackConfig.cmake without escaping it: each backslash is given twice.
  set(CPACK_BRISCA_SETTINGS_KEY "Software\\\\${BRISCA_VENDOR}\\\\${BRISCA_VENDOR} Brisca")
  # The main window's title starts with this; the installer finds the running program by it.
  set(CPACK_BRISCA_WINDOW_TITLE "${BRISCA_VENDOR} Brisca ver.")
  # makensis runs this on the uninstaller it puts into the installer and on the installer;
  # it signs only when a certificate is configured (see sign.sh).
  set(CPACK_BRISCA_SIGN_COMMAND "sh ${CPACK_BRISCA_SIGN_SCRIPT} %1")
  list(PREPEND CMAKE_MODULE_PATH ${BRISCA_PACKAGING_DIR})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # What debhelper's systemd helpers would do: reload systemd, restart the running instances
  # after an upgrade, stop them on removal, and on purge remove what the instances made.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${BRISCA_PACKAGING_DIR}/deb/postinst
      ${BRISCA_PACKAGING_DIR}/deb/prerm ${BRISCA_PACKAGING_DIR}/deb/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.tevonetworks.co.kr/")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
  set(CPACK_PACKAGE_DESCRIPTION
      "Brisca runs beside a card payment terminal that is cabled to a serial port. The\n"
      "terminal names a payment server in a connect frame, Brisca opens the TCP\n"
      "connection, relays the terminal's frames (plain or in a SEED/RSA envelope) and\n"
      "writes the server's answers back. The package holds the program, its systemd\n"
      "template unit brisca@.service (one instance per port) and the terminal and\n"
      "server simulators for trying a set-up.")
  string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")  # the list's joints
endif()

include(CPack)
