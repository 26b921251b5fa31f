# What `cmake --install` puts where, and the packages CPack makes of it:
# a Debian package from the native build, a zip from the mingw build.
#
#   cmake --install build --prefix /usr/local
#   cpack --config build/CPackConfig.cmake          (./dev package)
set(DORQIN_PACKAGE_FILES ${CMAKE_CURRENT_LIST_DIR}/package)

if(WIN32)
  # The zip: the self-contained .exe and the user guide, which Notepad on
  # older Windows shows as one long line unless it has CR LF line ends.
  install(TARGETS dorqin-relay RUNTIME DESTINATION .)
  file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
  string(REPLACE "\r\n" "\n" readme "${readme}")
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${PROJECT_BINARY_DIR}/package/README.txt "${readme}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
  install(FILES ${PROJECT_BINARY_DIR}/package/README.txt DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  include(GNUInstallDirs)
  install(TARGETS dorqin-relay dorqin-listen dorqin-boxsim
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES tools/udev/70-dorqin-box.rules DESTINATION lib/udev/rules.d)

  # Man pages go in compressed, as Debian's policy wants them; man reads
  # them either way.
  set(pages dorqin-relay.1 dorqin-listen.1 dorqin-boxsim.1)
  set(compressed)
  foreach(page ${pages})
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/man/${page} > ${PROJECT_BINARY_DIR}/man/${page}.gz
      DEPENDS ${PROJECT_SOURCE_DIR}/man/${page} VERBATIM)
    list(APPEND compressed ${PROJECT_BINARY_DIR}/man/${page}.gz)
  endforeach()
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/package/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/package
    COMMAND gzip -9nc ${DORQIN_PACKAGE_FILES}/changelog > ${PROJECT_BINARY_DIR}/package/changelog.gz
    DEPENDS ${DORQIN_PACKAGE_FILES}/changelog VERBATIM)
  add_custom_target(dorqin-package-files ALL
    DEPENDS ${compressed} ${PROJECT_BINARY_DIR}/package/changelog.gz)
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # CMAKE_INSTALL_DOCDIR is share/doc/dorqin-relay.
  file(GLOB docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
  install(FILES README.md ${docs} ${DORQIN_PACKAGE_FILES}/copyright
    ${PROJECT_BINARY_DIR}/package/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "dorqin-relay developers <dorqin-relay@example.org>")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${DORQIN_PACKAGE_FILES}/postinst ${DORQIN_PACKAGE_FILES}/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

set(CPACK_PACKAGE_NAME dorqin-relay)
set(CPACK_PACKAGE_VENDOR "dorqin-relay developers")
set(CPACK_PACKAGE_CONTACT "dorqin-relay@example.org")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay the input of a DORQIn Box to one TCP client")
set(CPACK_PACKAGE_DESCRIPTION
"dorqin-relay bridges one USB HID input box, the DORQIn Box, to one other
program over TCP. It listens on port 5003, greets one client, then sends
every input report of the box as a text event in a fixed 100-byte frame.

Also included: dorqin-listen, a client that checks and shows the stream,
dorqin-boxsim, a virtual box through /dev/uhid, and a udev rule that gives
the user at the seat access to the box.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/dist)
include(CPack)
