# Cross-build for a 32-bit ARM hard-float board (Debian's armhf, ARMv7) on a
# Debian PC with crossbuild-essential-armhf, and the board's libraries
# (libmariadb3, GoogleTest, the C and C++ runtime) unpacked from Debian's
# armhf packages into build-armhf-root/ (scripts/install-deps.sh cross):
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
#
# Tests built this way run under qemu-arm on the PC.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

get_filename_component(TECLADO_ARMHF_ROOT "${CMAKE_CURRENT_LIST_DIR}/../build-armhf-root/tree"
                       ABSOLUTE)
if(NOT EXISTS "${TECLADO_ARMHF_ROOT}/lib/ld-linux-armhf.so.3")
  message(FATAL_ERROR "no armhf libraries in ${TECLADO_ARMHF_ROOT}: "
    "run scripts/install-deps.sh cross (as root) first")
endif()

# Libraries and packages (GoogleTest's) only from the board's tree, in
# Debian's multiarch folder there; headers from there or from the PC's
# libmariadb-dev, since Debian's -dev package cannot be unpacked for two
# architectures' use (mysql.h is the same for both); programs from the PC.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH "${TECLADO_ARMHF_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)

# pkg-config must not hand the PC's amd64 libraries to the ARM linker.
set(ENV{PKG_CONFIG_LIBDIR} "${TECLADO_ARMHF_ROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${TECLADO_ARMHF_ROOT}")

# The client library's own dependencies (libssl3, zlib1g) are found by the
# linker through the tree, not the PC's folders.
set(armhf_libdirs "${TECLADO_ARMHF_ROOT}/usr/lib/arm-linux-gnueabihf:${TECLADO_ARMHF_ROOT}/lib/arm-linux-gnueabihf")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${armhf_libdirs}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${armhf_libdirs}")

# -L: the board's dynamic loader and libraries, as the armhf packages lay
# them out.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;${TECLADO_ARMHF_ROOT})
