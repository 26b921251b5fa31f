# Cross-compiles for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686).
#   cmake --preset windows    or    cmake -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(DORQIN_MINGW_PREFIX i686-w64-mingw32 CACHE STRING "mingw-w64 tool prefix")
set(CMAKE_C_COMPILER ${DORQIN_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${DORQIN_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${DORQIN_MINGW_PREFIX}-windres)

# Headers and import libraries come from the mingw-w64 sysroot only.
set(CMAKE_FIND_ROOT_PATH /usr/${DORQIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: a dynamic build needs libgcc_s_dw2-1.dll and
# libstdc++-6.dll beside it and, without them, dies before main prints.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
