# Cross-build for a 32-bit ARM hard-float board (Debian's armhf, ARMv7) on a
# Debian PC with crossbuild-essential-armhf, libmariadb3:armhf and
# libgtest-dev:armhf (scripts/install-deps.sh cross):
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
#
# Tests built this way run under qemu-arm on the PC.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Debian's multiarch folder for armhf libraries (libmariadb3:armhf,
# libgtest-dev:armhf). Searched instead of the PC's own; no find root path,
# since those packages live in the PC's /usr, not in a separate sysroot.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# pkg-config must not hand the PC's amd64 libraries to the ARM linker.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)

# -L: the ARM dynamic loader and C/C++ runtime of the cross toolchain.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/usr/arm-linux-gnueabihf)
