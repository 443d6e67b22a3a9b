#!/bin/bash
# Checks that a built teclado is for the machine it is meant for:
#   armhf  32-bit ARM, EABI version 5, hard-float (floating-point arguments
#          in VFP registers): what Debian's armhf boards run; and a 64-bit
#          time_t, so that its clock and dates stay right after January 2038
#   arm64  64-bit ARM (AArch64), loaded by /lib/ld-linux-aarch64.so.1 as on
#          Debian's and 64-bit Raspberry Pi OS's arm64; time_t is 64 bits
#          there without asking
#   amd64  64-bit x86
# A soft-float or ARM-EABI4 binary would build and even pass tests under
# qemu-arm, yet fail to start on the board.
#
# usage: check-elf.sh FILE armhf|arm64|amd64
set -euo pipefail

file=${1:?usage: check-elf.sh FILE armhf|arm64|amd64}
arch=${2:?usage: check-elf.sh FILE armhf|arm64|amd64}

header=$(readelf -h "$file")
field() { sed -n "s/^ *$1: *//p" <<< "$header"; }
fail() { echo "check-elf: $file: $*" >&2; exit 1; }

case $arch in
  armhf)
    [ "$(field Class)" = ELF32 ] || fail "class $(field Class), expected ELF32"
    [ "$(field Machine)" = ARM ] || fail "machine $(field Machine), expected ARM"
    grep -q 'Version5 EABI' <<< "$(field Flags)" || fail "flags $(field Flags), expected Version5 EABI"
    grep -q 'hard-float ABI' <<< "$(field Flags)" || fail "flags $(field Flags), expected hard-float ABI"
    readelf -A "$file" | grep -q 'Tag_ABI_VFP_args: VFP registers' \
      || fail "no 'Tag_ABI_VFP_args: VFP registers' in readelf -A: not hard-float"
    # With a 64-bit time_t, glibc's time calls have names of their own; a
    # build that lost -D_TIME_BITS=64 imports the 32-bit ones instead.
    imports=$(readelf --dyn-syms -W "$file" | awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }')
    for call in __gettimeofday64 __ctime64 __clock_gettime64; do
      grep -qx "$call" <<< "$imports" || fail "does not import $call: no 64-bit time_t"
    done
    for call in time gettimeofday ctime clock_gettime clock_nanosleep ioctl fcntl; do
      ! grep -qx "$call" <<< "$imports" || fail "imports $call, a 32-bit time_t call"
    done
    ;;
  arm64)
    [ "$(field Class)" = ELF64 ] || fail "class $(field Class), expected ELF64"
    [ "$(field Machine)" = AArch64 ] || fail "machine $(field Machine), expected AArch64"
    interpreter=$(readelf -l "$file" | sed -n 's/.*Requesting program interpreter: \(.*\)]$/\1/p')
    [ "$interpreter" = /lib/ld-linux-aarch64.so.1 ] \
      || fail "interpreter '$interpreter', expected /lib/ld-linux-aarch64.so.1"
    ;;
  amd64)
    [ "$(field Class)" = ELF64 ] || fail "class $(field Class), expected ELF64"
    [ "$(field Machine)" = "Advanced Micro Devices X86-64" ] \
      || fail "machine $(field Machine), expected Advanced Micro Devices X86-64"
    ;;
  *) echo "check-elf: unknown architecture '$arch' (armhf, arm64, amd64)" >&2; exit 2 ;;
esac
echo "check-elf: $file: $arch ($(field Class), $(field Machine), $(field Flags)${imports:+, 64-bit time_t})"
