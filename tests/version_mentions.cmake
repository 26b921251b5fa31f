# The version is set once, in project(); the texts that must name it by
# hand are checked against it: the top entries of both changelogs, and
# every package file name and --version line in the README and docs/.
#   cmake -DVERSION=0.2.0 -DSOURCE=<tree> -P version_mentions.cmake
set(faults)

file(STRINGS ${SOURCE}/cmake/package/changelog top LIMIT_COUNT 1)
if(NOT top MATCHES "^dorqin-relay \\(${VERSION}\\) ")
  list(APPEND faults "cmake/package/changelog starts with \"${top}\"")
endif()

# Changes not released yet go under "## Unreleased", above the release.
file(STRINGS ${SOURCE}/CHANGELOG.md headings REGEX "^## ")
list(FILTER headings EXCLUDE REGEX "^## Unreleased$")
list(GET headings 0 heading)
if(NOT heading MATCHES "^## ${VERSION}[ ]")
  list(APPEND faults "CHANGELOG.md's first entry is \"${heading}\"")
endif()

file(GLOB texts ${SOURCE}/README.md ${SOURCE}/docs/*.md)
foreach(text ${texts})
  file(READ ${text} content)
  string(REGEX MATCHALL "dorqin-[a-z]+[-_ ][0-9]+\\.[0-9]+\\.[0-9]+" names "${content}")
  foreach(name ${names})
    if(NOT name MATCHES "[-_ ]${VERSION}$")
      file(RELATIVE_PATH where ${SOURCE} ${text})
      list(APPEND faults "${where} names ${name}")
    endif()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "not version ${VERSION}:\n  ${text}")
endif()
