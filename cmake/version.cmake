# The release's version and copyright, each written once: the version in
# project() at the top, the copyright line in LICENSE. Programs get the
# version as DORQIN_VERSION and, on Windows, a version resource.

file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE DORQIN_COPYRIGHT_LINE LIMIT_COUNT 1
  REGEX "^Copyright \\(c\\) ")
if(NOT DORQIN_COPYRIGHT_LINE)
  message(FATAL_ERROR "LICENSE has no \"Copyright (c) YEAR HOLDER\" line")
endif()
# "2026 The dorqin-relay developers"
string(REGEX REPLACE "^Copyright \\(c\\) " "" DORQIN_COPYRIGHT "${DORQIN_COPYRIGHT_LINE}")
# "The dorqin-relay developers"
string(REGEX REPLACE "^[0-9, -]+ " "" DORQIN_COPYRIGHT_HOLDER "${DORQIN_COPYRIGHT}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)

# dorqin_version(TARGET DESCRIPTION): the version for --version, and a
# VERSIONINFO resource (what Explorer shows under Properties > Details)
# in the Windows build.
function(dorqin_version target description)
  target_compile_definitions(${target} PRIVATE DORQIN_VERSION="${PROJECT_VERSION}")
  if(WIN32)
    set(DORQIN_RC_NAME ${target})
    set(DORQIN_RC_DESCRIPTION ${description})
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in
      ${PROJECT_BINARY_DIR}/version/${target}.rc @ONLY)
    target_sources(${target} PRIVATE ${PROJECT_BINARY_DIR}/version/${target}.rc)
  endif()
endfunction()
