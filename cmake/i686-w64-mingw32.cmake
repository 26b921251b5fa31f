# Cross-compiles for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686).
#   cmake --preset windows    or    cmake -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(DORQIN_MINGW_PREFIX i686-w64-mingw32 CACHE STRING "mingw-w64 tool prefix")
set(CMAKE_C_COMPILER ${DORQIN_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${DORQIN_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${DORQIN_MINGW_PREFIX}-windres)

# Anything CMake looks for comes from the mingw-w64 sysroot, never from
# the host (Debian keeps it under /usr/<prefix>).
if(EXISTS /usr/${DORQIN_MINGW_PREFIX})
  set(CMAKE_FIND_ROOT_PATH /usr/${DORQIN_MINGW_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
