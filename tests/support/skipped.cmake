# Shows the tests of the last ctest run that were skipped for a missing
# prerequisite, each with what it said was missing (run by CTest after the
# tests; see tests/CMakeLists.txt).
#   cmake -DLIST=<build>/Testing/Temporary/Skipped.txt -P skipped.cmake
if(NOT EXISTS "${LIST}")
  return()
endif()
# Read whole: a reason may hold a ";", which a CMake list would split.
file(READ "${LIST}" text)
string(STRIP "${text}" text)
string(REPLACE "\n" "\n  " text "${text}")
message("Skipped for a missing prerequisite (./dev test installs and fetches them all):\n  ${text}")
