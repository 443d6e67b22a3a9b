# Cross-build for a 64-bit ARM board (Debian's arm64, AArch64: a Pi 3, 4, 5
# or Zero 2 on 64-bit Raspberry Pi OS or Debian, or any arm64 Linux board)
# on a Debian PC with crossbuild-essential-arm64, and the board's libraries
# unpacked from Debian's arm64 packages into build-arm64-root/
# (scripts/install-deps.sh arm64):
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/arm64.cmake
#
# Tests built this way run under qemu-aarch64 on the PC.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TECLADO_BOARD_ARCH arm64)
set(TECLADO_BOARD_TRIPLET aarch64-linux-gnu)
set(TECLADO_BOARD_LOADER lib/ld-linux-aarch64.so.1)
set(TECLADO_BOARD_QEMU qemu-aarch64)
set(TECLADO_BOARD_GROUP arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
