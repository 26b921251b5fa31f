# Cross-compiles for 32-bit ARM Linux (Debian's armhf: ARMv7, hard float)
# with Debian's cross toolchain and the target's multiarch -dev packages.
#   cmake --preset armhf    or    cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(DORQIN_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
