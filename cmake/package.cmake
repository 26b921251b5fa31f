# What `cmake --install` puts where, and the packages CPack makes of it:
# a Debian package from the native build, a zip from the mingw build.
#
#   cmake --install build --prefix /usr/local
#   cpack --config build/CPackConfig.cmake          (./dev package)
set(DORQIN_PACKAGE_FILES ${CMAKE_CURRENT_LIST_DIR}/package)

if(WIN32)
  # The zip: the self-contained .exe files, the licence, the changes, the
  # user guide and the notes it links to, which Notepad on older Windows
  # shows as one long line unless they have CR LF line ends, and the
  # Python example.
  install(TARGETS dorqin-relay dorqin-listen dorqin-serve RUNTIME DESTINATION .)
  function(dorqin_crlf_copy source target)
    file(READ ${source} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${target} "${text}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  endfunction()
  foreach(text README.md LICENSE CHANGELOG.md)
    get_filename_component(name ${text} NAME_WE)
    dorqin_crlf_copy(${PROJECT_SOURCE_DIR}/${text} ${PROJECT_BINARY_DIR}/package/${name}.txt)
    install(FILES ${PROJECT_BINARY_DIR}/package/${name}.txt DESTINATION .)
  endforeach()
  install(PROGRAMS examples/listen.py DESTINATION examples)
  file(GLOB docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
  foreach(doc ${docs})
    get_filename_component(name ${doc} NAME)
    dorqin_crlf_copy(${doc} ${PROJECT_BINARY_DIR}/package/docs/${name})
    install(FILES ${PROJECT_BINARY_DIR}/package/docs/${name} DESTINATION docs)
  endforeach()

  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  include(GNUInstallDirs)
  install(TARGETS dorqin-relay dorqin-listen dorqin-boxsim dorqin-serve
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # A stripped install (CPack's) drops the compilers' version notes too, as
  # Debian's own packages do; strip alone keeps them.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(program dorqin-relay dorqin-listen dorqin-boxsim dorqin-serve)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
          COMMAND_ERROR_IS_FATAL ANY)
      endforeach()
    endif()")
  install(FILES tools/udev/70-dorqin-box.rules DESTINATION lib/udev/rules.d)
  # The service is installed, not enabled: the admin decides.
  install(FILES tools/systemd/dorqin-serve.service DESTINATION lib/systemd/system)
  install(FILES ${DORQIN_PACKAGE_FILES}/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME dorqin-relay)
  # The rule for /dev/uinput (dorqin-listen --joystick) is for the owner to
  # opt in to, not a rule udev applies once the package is in: see
  # docs/platform.md.
  install(FILES tools/udev/70-dorqin-uinput.rules DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

  # Man pages go in compressed, as Debian's policy wants them; man reads
  # them either way. Each names the version in its footer.
  set(pages dorqin-relay.1 dorqin-listen.1 dorqin-boxsim.1 dorqin-serve.1)
  set(compressed)
  foreach(page ${pages})
    configure_file(${PROJECT_SOURCE_DIR}/man/${page} ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.gz
      COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/man/${page} > ${PROJECT_BINARY_DIR}/man/${page}.gz
      DEPENDS ${PROJECT_BINARY_DIR}/man/${page} VERBATIM)
    list(APPEND compressed ${PROJECT_BINARY_DIR}/man/${page}.gz)
  endforeach()
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/package/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/package
    COMMAND gzip -9nc ${DORQIN_PACKAGE_FILES}/changelog > ${PROJECT_BINARY_DIR}/package/changelog.gz
    DEPENDS ${DORQIN_PACKAGE_FILES}/changelog VERBATIM)
  add_custom_target(dorqin-package-files ALL
    DEPENDS ${compressed} ${PROJECT_BINARY_DIR}/package/changelog.gz)
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # Each page renders with no warning at all (groff's -ww), as man and
  # lintian want it.
  # Without groff the test says so (tests/support/prerequisites.sh).
  find_program(DORQIN_GROFF groff)
  if(BUILD_TESTING AND DORQIN_GROFF)
    add_test(NAME man.pages_render_without_warnings
      COMMAND sh -c "for page; do out=$(\"$0\" -t -man -ww -z \"$page\" 2>&1) || exit 1; \
if [ -n \"$out\" ]; then echo \"$page: $out\"; exit 1; fi; done"
        ${DORQIN_GROFF} ${pages}
      WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/man)
  elseif(BUILD_TESTING)
    add_test(NAME man.pages_render_without_warnings
      COMMAND bash -c ". \"$0\"; missing_prerequisite 'groff (Debian package groff)'"
        ${PROJECT_SOURCE_DIR}/tests/support/prerequisites.sh)
  endif()
  if(BUILD_TESTING)
    set_tests_properties(man.pages_render_without_warnings PROPERTIES
      LABELS docs SKIP_RETURN_CODE 77 ENVIRONMENT DORQIN_TEST_NAME=man.pages_render_without_warnings)
  endif()

  # The licence in Debian's machine-readable form: LICENSE's text after its
  # copyright line, each line indented by one blank, an empty one as " .".
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  string(REGEX REPLACE "^.*\nCopyright [^\n]*\n\n*" "" licence "${licence}")
  string(REGEX REPLACE "\n+$" "" licence "${licence}")
  string(REPLACE "\n\n" "\n.\n" licence "${licence}")
  string(REPLACE "\n" "\n " licence " ${licence}")
  set(DORQIN_LICENSE_TEXT "${licence}")
  configure_file(${DORQIN_PACKAGE_FILES}/copyright.in ${PROJECT_BINARY_DIR}/package/copyright
    @ONLY)

  # CMAKE_INSTALL_DOCDIR is share/doc/dorqin-relay. The Debian changelog
  # (changelog.gz) stands in for CHANGELOG.md, and copyright for LICENSE.
  file(GLOB docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
  # docs/ stays a folder of its own, so that the links between the files
  # still lead somewhere.
  install(FILES README.md ${PROJECT_BINARY_DIR}/package/copyright
    ${PROJECT_BINARY_DIR}/package/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${docs} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
  install(FILES examples/listen.py DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # The target's architecture, from its multiarch triplet: CPack's own
  # choice, dpkg --print-architecture, is the build machine's, and would
  # label a cross build's arm64 programs amd64.
  find_program(DORQIN_DPKG_ARCHITECTURE dpkg-architecture)
  if(DORQIN_DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(COMMAND ${DORQIN_DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
      OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE AND CMAKE_CROSSCOMPILING)
    message(WARNING "No Debian architecture for ${CMAKE_LIBRARY_ARCHITECTURE} (dpkg-architecture, "
      "Debian package dpkg-dev): cpack would label the package with this machine's")
  endif()
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "dorqin-relay developers <dorqin-relay@example.org>")
  # The maintainer scripts: ours (the service's user, udev) with debhelper's
  # part for the service, made when cpack packs (maintainer-scripts.cmake).
  set(CPACK_DORQIN_SCRIPT_TEMPLATES ${DORQIN_PACKAGE_FILES})
  set(CPACK_DORQIN_MAINTAINER_DIR ${PROJECT_BINARY_DIR}/package/maintainer)
  set(CPACK_PRE_BUILD_SCRIPTS ${DORQIN_PACKAGE_FILES}/maintainer-scripts.cmake)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CPACK_DORQIN_MAINTAINER_DIR}/postinst
    ${CPACK_DORQIN_MAINTAINER_DIR}/prerm ${CPACK_DORQIN_MAINTAINER_DIR}/postrm)
  # The maintainer scripts make and remove the service's user.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
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

Also included: dorqin-listen, a client that checks and shows the stream
or makes it a virtual joystick through /dev/uinput, dorqin-boxsim, a
virtual box through /dev/uhid, dorqin-serve with the systemd service
dorqin-serve.service (off until enabled), which runs the relay for one
client after another, and a udev rule that gives the user at the seat
and the service access to the box.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/dist)
include(CPack)
