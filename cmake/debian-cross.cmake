# What the Linux cross toolchain files share, included by them once they
# have set DORQIN_CROSS_TRIPLET, CMAKE_SYSTEM_PROCESSOR and
# CMAKE_CROSSCOMPILING_EMULATOR (Debian packages g++-<triplet> and
# qemu-user-static). The target's libraries are Debian's multiarch ones,
# in /usr/lib/<triplet> beside the build machine's own.
#
# CTest runs the target's test programs under that qemu-user, which finds
# the target's loader and libraries where multiarch puts them; the
# programs that the tests start themselves (the relay, dorqin-listen, ...)
# reach the same qemu through the kernel's binfmt_misc entry, which
# ./dev test registers.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${DORQIN_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${DORQIN_CROSS_TRIPLET}-g++)
# Libraries and CMake packages come from /usr/lib/<triplet>, never from
# the build machine's; programs (python3, groff) from the build machine.
set(CMAKE_LIBRARY_ARCHITECTURE ${DORQIN_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
