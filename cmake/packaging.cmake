# Installing teclado on a board (cmake --install) and its .deb (cpack -G DEB).
#
# The unit file names the binary by its full path, so the prefix is chosen
# when configuring (-DCMAKE_INSTALL_PREFIX=/usr for a package), not later.
include(GNUInstallDirs)

set(TECLADO_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING
  "Folder for teclado.service, relative to the install prefix or absolute")
# What the unit lets the program reach depends on its GPIO backend.
if(TECLADO_GPIO STREQUAL "wiringpi")
  # wiringPiSetup maps the GPIO registers through /dev/gpiomem (/dev/gpiomem0
  # on a Pi 5), or through /dev/mem where that is missing, and tells the
  # board model from /proc/cpuinfo. Opening /dev/mem needs CAP_SYS_RAWIO.
  set(TECLADO_UNIT_DEVICES "DeviceAllow=/dev/gpiomem rw\nDeviceAllow=/dev/gpiomem0 rw\nDeviceAllow=/dev/mem rw")
  set(TECLADO_UNIT_CAPABILITIES "CapabilityBoundingSet=CAP_SYS_RAWIO")
  set(TECLADO_UNIT_PROC "# wiringPi reads /proc/cpuinfo: the rest of /proc stays visible.")
else()
  set(TECLADO_UNIT_DEVICES "DeviceAllow=char-gpiochip rw")
  set(TECLADO_UNIT_CAPABILITIES "CapabilityBoundingSet=")
  set(TECLADO_UNIT_PROC "ProcSubset=pid")
endif()
configure_file(packaging/teclado.service.in teclado.service @ONLY)

# The account's password lives in the option file, not in the binary, which
# holds only the public default: anyone may read it, root alone the file.
install(TARGETS teclado RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(TECLADO_CONFFILE_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/teclado)
install(FILES packaging/teclado.cnf DESTINATION ${TECLADO_CONFFILE_DIR}
  PERMISSIONS OWNER_READ OWNER_WRITE)
# dpkg keeps an administrator's edits to a conffile over an upgrade, and
# removes it on purge only.
file(WRITE ${PROJECT_BINARY_DIR}/conffiles "${TECLADO_CONFFILE_DIR}/teclado.cnf\n")
# lintian's word on that file's mode, and why it is kept.
install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
  RENAME teclado)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/teclado.service DESTINATION ${TECLADO_SYSTEMD_UNIT_DIR})
install(FILES sql/estado.sql DESTINATION ${CMAKE_INSTALL_DATADIR}/teclado)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The README's links point into docs/: the installed copy keeps them whole.
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
  FILES_MATCHING PATTERN "*.md" PATTERN "*.svg" PATTERN "*.txt")
# Holds no password (it takes one from MYSQL_PWD or option files): anyone
# may run it with an account of their own.
install(TARGETS teclado-relatorio RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(TECLADO_DEB_MAINTAINER "teclado maintainers <maintainers@users.noreply.c-seed-bb11e823.example>"
  CACHE STRING "Maintainer field of the .deb")

# The license, from LICENSE, in Debian's machine-readable copyright format:
# its copyright line, then its text as the License paragraph (each line
# indented, a blank line written " .").
file(READ LICENSE licenca)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS LICENSE)
if(NOT licenca MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(Permission is hereby granted.*)$")
  message(FATAL_ERROR "LICENSE: no 'Copyright (c) ...' line followed by the MIT terms")
endif()
set(TECLADO_COPYRIGHT "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" licenca)
string(REPLACE "\n\n" "\n.\n" licenca "${licenca}")
string(REPLACE "\n" "\n " TECLADO_LICENCA " ${licenca}")
configure_file(packaging/copyright.in copyright @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The changelog's newest entry takes the project's version; the manual
# pages name it too. Each is gzipped as Debian installs them: -9, and -n so
# that no name or time stamp makes two builds of one source differ.
set(TECLADO_DEB_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
configure_file(packaging/changelog.in changelog.Debian @ONLY)
configure_file(man/teclado.8.in teclado.8 @ONLY)
configure_file(man/teclado-relatorio.1.in teclado-relatorio.1 @ONLY)
set(comprimidos)
foreach(texto changelog.Debian teclado.8 teclado-relatorio.1)
  add_custom_command(OUTPUT ${texto}.gz
    COMMAND gzip -9nkf ${texto}
    DEPENDS ${PROJECT_BINARY_DIR}/${texto}
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR} VERBATIM)
  list(APPEND comprimidos ${PROJECT_BINARY_DIR}/${texto}.gz)
endforeach()
add_custom_target(teclado_textos ALL DEPENDS ${comprimidos})
install(FILES ${PROJECT_BINARY_DIR}/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_BINARY_DIR}/teclado.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_BINARY_DIR}/teclado-relatorio.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME teclado)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TECLADO_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "logs every key of a 4x4 matrix keypad to MariaDB
teclado scans a 4 x 4 matrix keypad wired to eight GPIO pins of a
Raspberry Pi-class board and logs every press and release of a key: it
prints the event with its time of day and milliseconds, and stores it as a
row of the table estado in the MariaDB database embarcados.
teclado-relatorio sums the log up per key, as text, TSV or an SVG picture.
.
Includes a systemd unit (teclado.service, not enabled on install) and the
table's definition in /usr/share/teclado/estado.sql.")
# Versioned dependencies from the binary's own needs (libc6, libgcc-s1,
# libmariadb3, ...), worked out by dpkg-shlibdeps for the package's
# architecture.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The database usually runs on the board itself, but may live elsewhere.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS mariadb-server)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_BINARY_DIR}/conffiles
  ${PROJECT_SOURCE_DIR}/packaging/postinst
  ${PROJECT_SOURCE_DIR}/packaging/prerm
  ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
if(CMAKE_CROSSCOMPILING)
  # Left alone, CPack would label the package with the PC's architecture.
  execute_process(
    COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(deb_arch)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
  else()
    message(WARNING "dpkg-architecture (dpkg-dev) could not name the Debian architecture of "
      "${CMAKE_LIBRARY_ARCHITECTURE}; a .deb made from this build would say the PC's")
  endif()
  # The board's libraries are unpacked, not installed (scripts/armhf-root.sh),
  # so dpkg cannot say which package holds each; dpkg-shlibdeps reads that
  # from the unpacked packages' control files instead, at cpack time.
  get_filename_component(TECLADO_BOARD_PKGS "${TECLADO_BOARD_ROOT}/../pkgs" ABSOLUTE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/deb-depends.cmake.in
                 ${PROJECT_BINARY_DIR}/deb-depends.cmake @ONLY)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/deb-depends.cmake)
endif()
include(CPack)
