# The part of a cross-build toolchain that every board architecture shares
# (cmake/armhf.cmake, cmake/arm64.cmake): a Debian PC's cross compiler for
# the triplet, and the board's libraries (libmariadb3, GoogleTest, the C and
# C++ runtime) unpacked from Debian's packages of that architecture into
# build-ARCH-root/ by scripts/armhf-root.sh. The including file sets
#   TECLADO_BOARD_ARCH     Debian's name: armhf, arm64
#   TECLADO_BOARD_TRIPLET  the multiarch triplet and the compilers' prefix
#   TECLADO_BOARD_LOADER   the dynamic loader, relative to the board's /
#   TECLADO_BOARD_QEMU     the qemu-user program that runs the build here
#   TECLADO_BOARD_GROUP    the install-deps.sh group that brings all this
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${TECLADO_BOARD_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TECLADO_BOARD_TRIPLET}-g++)

get_filename_component(TECLADO_BOARD_ROOT
  "${CMAKE_CURRENT_LIST_DIR}/../build-${TECLADO_BOARD_ARCH}-root/tree" ABSOLUTE)
if(NOT EXISTS "${TECLADO_BOARD_ROOT}/${TECLADO_BOARD_LOADER}")
  message(FATAL_ERROR "no ${TECLADO_BOARD_ARCH} libraries in ${TECLADO_BOARD_ROOT}: "
    "run scripts/install-deps.sh ${TECLADO_BOARD_GROUP} (as root) first")
endif()

# Libraries and packages (GoogleTest's) only from the board's tree, in
# Debian's multiarch folder there; headers from there or from the PC's
# libmariadb-dev, since Debian's -dev package cannot be unpacked for two
# architectures' use (mysql.h is the same for all); programs from the PC.
set(CMAKE_LIBRARY_ARCHITECTURE ${TECLADO_BOARD_TRIPLET})
set(CMAKE_FIND_ROOT_PATH "${TECLADO_BOARD_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)

# pkg-config must not hand the PC's amd64 libraries to the board's linker.
set(ENV{PKG_CONFIG_LIBDIR} "${TECLADO_BOARD_ROOT}/usr/lib/${TECLADO_BOARD_TRIPLET}/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${TECLADO_BOARD_ROOT}")

# The client library's own dependencies (libssl3, zlib1g) are found by the
# linker through the tree, not the PC's folders.
set(board_libdirs
  "${TECLADO_BOARD_ROOT}/usr/lib/${TECLADO_BOARD_TRIPLET}:${TECLADO_BOARD_ROOT}/lib/${TECLADO_BOARD_TRIPLET}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${board_libdirs}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${board_libdirs}")

# -L: the board's dynamic loader and libraries, as its packages lay them out.
set(CMAKE_CROSSCOMPILING_EMULATOR ${TECLADO_BOARD_QEMU};-L;${TECLADO_BOARD_ROOT})
