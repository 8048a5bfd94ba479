# The program version for --version, the install rules and the Debian
# package. Included once at the end of the top CMakeLists.txt, after every
# target exists.

include(GNUInstallDirs)

configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${PROJECT_BINARY_DIR}/generated/varn_version.h)
target_include_directories(varn_core PUBLIC ${PROJECT_BINARY_DIR}/generated)

# The help page beside the program in the build tree; installed it lives in
# share/varn, where the program looks second (core/datafiles.h).
configure_file(${PROJECT_SOURCE_DIR}/ui/help/varn.html ${PROJECT_BINARY_DIR}/bin/varn.html COPYONLY)
# So do the default configuration files a first start copies (core/firststart.h).
foreach(_file varn.cfg varn.dev auto.cfg)
  configure_file(${PROJECT_SOURCE_DIR}/demo/${_file} ${PROJECT_BINARY_DIR}/bin/demo/${_file} COPYONLY)
endforeach()

# Set when the package is built (scripts/package.sh): who answers for it, and
# where the program's home page and the screenshot software centres show are
# published. The defaults are neutral placeholders lintian accepts.
set(VARN_MAINTAINER "VARN maintainers <varn-maintainers@example.org>" CACHE STRING
    "Maintainer field of the Debian package and its changelog")
set(VARN_HOMEPAGE "https://varn.example.org/" CACHE STRING "Home page (AppStream, Debian)")
set(VARN_SCREENSHOT_URL "${VARN_HOMEPAGE}screenshot.png" CACHE STRING
    "Where doc/screenshot.png is published (AppStream)")

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
# The other manual pages, the Debian changelog and copyright file and the
# AppStream metadata are written by hand; the version and the package-time
# settings are filled in.
set(_pages)
foreach(_page varn varn-unit)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${_page}.1 ${PROJECT_BINARY_DIR}/man/${_page}.1 @ONLY)
  list(APPEND _pages ${PROJECT_BINARY_DIR}/man/${_page}.1.gz)
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog ${PROJECT_BINARY_DIR}/doc/changelog @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright ${PROJECT_BINARY_DIR}/doc/copyright @ONLY)
set(VARN_METAINFO ${PROJECT_BINARY_DIR}/doc/net.varnet.varn.metainfo.xml)
configure_file(${CMAKE_CURRENT_LIST_DIR}/varn.metainfo.xml.in ${VARN_METAINFO} @ONLY)
foreach(_gz ${_pages} ${PROJECT_BINARY_DIR}/doc/changelog.gz)
  string(REGEX REPLACE "\\.gz$" "" _plain ${_gz})
  add_custom_command(OUTPUT ${_gz} COMMAND gzip -9n -c ${_plain} > ${_gz} DEPENDS ${_plain} VERBATIM)
endforeach()
add_custom_target(varn_manpage ALL DEPENDS ${VARN_MANPAGE}.gz ${_pages} ${PROJECT_BINARY_DIR}/doc/changelog.gz)

install(TARGETS varn varn-cli varn-unit RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/ui/help/varn.html DESTINATION ${CMAKE_INSTALL_DATADIR}/varn)
install(FILES ${PROJECT_SOURCE_DIR}/demo/varn.cfg ${PROJECT_SOURCE_DIR}/demo/varn.dev
              ${PROJECT_SOURCE_DIR}/demo/auto.cfg ${PROJECT_SOURCE_DIR}/demo/sample.hex
        DESTINATION ${CMAKE_INSTALL_DATADIR}/varn/demo)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/varn.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# The icon in the sizes drawn and as the drawing itself (ui/icons/render.sh).
foreach(_size 16 32 48 64 128 256)
  install(FILES ${PROJECT_SOURCE_DIR}/ui/icons/varn-${_size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_size}x${_size}/apps RENAME varn.png)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/ui/icons/varn.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${VARN_MANPAGE}.gz ${_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/doc/changelog.gz
              ${PROJECT_BINARY_DIR}/doc/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${VARN_METAINFO} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

if(VARN_BUILD_TESTS)
  # The manual page renders without a warning and lists everything --help
  # and the README's exit-status table list; the menu entry validates.
  add_test(NAME varn_manpage COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/check-manpage.sh
    ${VARN_MANPAGE} $<TARGET_FILE:varn-cli> ${PROJECT_SOURCE_DIR}/README.md
    $<TARGET_FILE:varn-cli-manpage>)
  add_test(NAME varn_other_manpages COMMAND sh -c
    "for p in \"$@\"; do w=$(groff -man -ww -z \"$p\" 2>&1); test -z \"$w\" || { echo \"$w\"; exit 1; }; done"
    sh ${PROJECT_BINARY_DIR}/man/varn.1 ${PROJECT_BINARY_DIR}/man/varn-unit.1)
  add_test(NAME varn_desktop_entry COMMAND desktop-file-validate ${CMAKE_CURRENT_LIST_DIR}/varn.desktop)
endif()

# Debian package: bash scripts/package.sh
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VARN_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${VARN_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host program for the VARN device programmer unit")
set(CPACK_PACKAGE_DESCRIPTION
  "Loads Intel HEX, S-record, ELF and binary images into a buffer, edits them\n\
in a hex view, and programs, verifies, reads, erases, blank-checks and locks\n\
chips through the VARN programmer unit on a serial port. Includes varn-cli, a\n\
command-line programmer for scripts and production lines, and varn-unit, a\n\
virtual unit on a pseudo-terminal for trying the program without hardware.")
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
