# Cross-build for a 32-bit ARM hard-float board (Debian's armhf, ARMv7) on a
# Debian PC with crossbuild-essential-armhf, and the board's libraries
# unpacked from Debian's armhf packages into build-armhf-root/
# (scripts/install-deps.sh cross):
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
#
# Tests built this way run under qemu-arm on the PC.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TECLADO_BOARD_ARCH armhf)
set(TECLADO_BOARD_TRIPLET arm-linux-gnueabihf)
set(TECLADO_BOARD_LOADER lib/ld-linux-armhf.so.3)
set(TECLADO_BOARD_QEMU qemu-arm)
set(TECLADO_BOARD_GROUP cross)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
