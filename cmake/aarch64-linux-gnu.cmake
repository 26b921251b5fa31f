# Cross-compiles for 64-bit ARM Linux (Debian's arm64) with Debian's cross
# toolchain and the target's multiarch -dev packages (libevdev-dev:arm64, ...).
#   cmake --preset arm64    or    cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(DORQIN_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
