# The program version for --version, the install rules and the Debian
# package. Included once at the end of the top CMakeLists.txt, after every
# target exists.

include(GNUInstallDirs)

configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${PROJECT_BINARY_DIR}/generated/varn_version.h)
target_include_directories(varn_core PUBLIC ${PROJECT_BINARY_DIR}/generated)

# The help page beside the program in the build tree; installed it lives in
# share/varn, where the program looks second (core/datafiles.h).
configure_file(${PROJECT_SOURCE_DIR}/ui/help/varn.html ${PROJECT_BINARY_DIR}/bin/varn.html COPYONLY)

# The manual page of varn-cli: the hand-written parts in varn-cli.1.in, the
# operations, options and exit statuses filled in from the tables --help
# prints (tools/cli/climanpage.cpp). Leak reports stay off in sanitizer
# builds: Qt keeps some allocations until exit on purpose.
set(VARN_MANPAGE ${PROJECT_BINARY_DIR}/man/varn-cli.1)
configure_file(${CMAKE_CURRENT_LIST_DIR}/varn-cli.1.in ${VARN_MANPAGE}.in @ONLY)
add_custom_command(OUTPUT ${VARN_MANPAGE} ${VARN_MANPAGE}.gz
  COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
          $<TARGET_FILE:varn-cli-manpage> ${VARN_MANPAGE}.in ${VARN_MANPAGE}
  COMMAND gzip -9n -c ${VARN_MANPAGE} > ${VARN_MANPAGE}.gz
  DEPENDS varn-cli-manpage ${VARN_MANPAGE}.in VERBATIM)
add_custom_target(varn_manpage ALL DEPENDS ${VARN_MANPAGE}.gz)

install(TARGETS varn varn-cli varn-unit RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/ui/help/varn.html DESTINATION ${CMAKE_INSTALL_DATADIR}/varn)
install(FILES ${PROJECT_SOURCE_DIR}/demo/varn.cfg ${PROJECT_SOURCE_DIR}/demo/varn.dev
              ${PROJECT_SOURCE_DIR}/demo/auto.cfg ${PROJECT_SOURCE_DIR}/demo/sample.hex
        DESTINATION ${CMAKE_INSTALL_DATADIR}/varn/demo)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/varn.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/ui/varn.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps)
install(FILES ${VARN_MANPAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(VARN_BUILD_TESTS)
  # The manual page renders without a warning and lists everything --help
  # and the README's exit-status table list; the menu entry validates.
  add_test(NAME varn_manpage COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/check-manpage.sh
    ${VARN_MANPAGE} $<TARGET_FILE:varn-cli> ${PROJECT_SOURCE_DIR}/README.md)
  add_test(NAME varn_desktop_entry COMMAND desktop-file-validate ${CMAKE_CURRENT_LIST_DIR}/varn.desktop)
endif()

# Debian package: bash scripts/package.sh
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "VARN developers <varn@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host program for the VARN device programmer unit")
set(CPACK_PACKAGE_DESCRIPTION
  "Loads Intel HEX and binary images into a buffer, edits them in a hex view,\n\
and programs, verifies, reads, erases, blank-checks and locks chips through\n\
the VARN programmer unit on a serial port. Includes varn-cli, a command-line\n\
programmer for scripts and production lines, and varn-unit, a virtual unit\n\
on a pseudo-terminal for trying the program without hardware.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The Qt libraries come from dpkg-shlibdeps; plugins that Qt loads at run time
# do not show up there and are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(_plugins qt6-qpa-plugins)
set(_recommends xdg-utils)
if(TARGET Qt6::Sql)
  # The production log: SQLite always, PostgreSQL for a shared one.
  list(APPEND _plugins libqt6sql6-sqlite)
  list(APPEND _recommends libqt6sql6-psql)
endif()
string(REPLACE ";" ", " CPACK_DEBIAN_PACKAGE_DEPENDS "${_plugins}")
string(REPLACE ";" ", " CPACK_DEBIAN_PACKAGE_RECOMMENDS "${_recommends}")
set(CPACK_STRIP_FILES ON)
include(CPack)
