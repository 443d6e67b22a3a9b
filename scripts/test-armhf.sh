#!/bin/bash
# Stage "armhf" of scripts/test.sh: cross-builds teclado for a 32-bit ARM
# hard-float board (build-armhf, simulated keypad, tests on), checks that the
# binary is one, runs the whole test suite under qemu-arm against a private
# MariaDB (its fixture scripts and the MariaDB server run natively), does the
# same for the chardev build, then builds and checks the .deb packages
# (scripts/package.sh).
set -euo pipefail

cd "$(dirname "$0")/.."
bash scripts/install-deps.sh cross

cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake \
  -DTECLADO_GPIO=sim -DBUILD_TESTING=ON
cmake --build build-armhf -j2
bash scripts/check-elf.sh build-armhf/teclado armhf

# Soak runs are left to the native stage: under emulation they would only
# measure qemu-arm.
ctest --test-dir build-armhf --output-on-failure --timeout 300 --no-tests=error -LE soak

# The board's own build (the one the armhf package holds): chardev, with the
# stand-in GPIO device preloaded into the emulated program.
cmake -S . -B build-armhf-chardev -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake \
  -DTECLADO_GPIO=chardev -DBUILD_TESTING=ON
cmake --build build-armhf-chardev -j2
bash scripts/check-elf.sh build-armhf-chardev/teclado armhf
ctest --test-dir build-armhf-chardev --output-on-failure --timeout 300 --no-tests=error -LE soak

bash scripts/package.sh
