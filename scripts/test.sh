#!/bin/bash
# Builds and tests teclado, one stage per configuration: a stage installs
# the packages it needs, configures and builds its own build* folder and
# runs CTest there, whose fixtures start and stop a private MariaDB
# themselves. Stages wiringpi and kernel run checks of their own instead.
#
# usage: test.sh [stage ...]      (no stage: all of them, in this order)
#   native    build/: unit, recorder, end-to-end, report, fault and
#             least-privilege tests of the PC build (simulated keypad)
#   chardev   build-chardev/: the board's GPIO backend on this PC, its whole
#             suite against a stand-in of the kernel's GPIO device
#   wiringpi  build-wiringpi/: the wiringpi backend against a stand-in
#             libwiringPi; no suite, the checks below
#   soak      build/: long and fault runs of the real binary
#   sanitize  build-sanitize/: the native suite, build type Sanitize
#             (AddressSanitizer and UBSan, cmake/sanitize.cmake)
#   armhf     build-armhf/ and build-armhf-chardev/: cross-builds for the
#             board, their ELF headers, their suites under qemu-arm; then the
#             .deb packages (scripts/package.sh); first, install-deps.sh's
#             groups installed so far and its clean-up
#             (scripts/check-install-deps.sh)
#   arm64     build-arm64/ and build-arm64-chardev/: cross-builds for 64-bit
#             boards, their ELF headers, their suites under qemu-aarch64 (its
#             .deb is made and checked by the armhf stage's package.sh)
#   kernel    the board's chardev build on Debian's kernel under
#             qemu-system-arm (scripts/test-kernel.sh)
#   edge      the arm64 chardev build on Debian's arm64 kernel under
#             qemu-system-aarch64, keys played on its PL061's edges
#             (scripts/test-edge.sh)
#   bench     build-bench/: the benchmarks (bench/*.py), quick counts
#   fresh     the demo and the stages whose set-up a first run changes,
#             from a clone in /root of a fresh Debian 12 root
#             (scripts/test-fresh.sh)
#   backends  chardev and wiringpi, the name they had together
#
# TECLADO_BENCH_OPTIONS, for stage bench: any of
#   --full    the full counts, about three minutes of measuring
#   --native  no armhf build and no qemu-arm
#   --strict  a missed target fails the stage (else it is marked MISSED)
set -euo pipefail

cd "$(dirname "$0")/.."
all=(native chardev wiringpi soak sanitize armhf arm64 kernel edge bench fresh)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=("${all[@]}")

fail() {
  echo "test.sh: $*" >&2
  exit 1
}
. scripts/checks.sh

# build DIR [CMAKE_OPTION ...]: configures and builds DIR.
build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@"
  cmake --build "$dir" -j2
}

# The tests print their measurements as "figure: ..." lines; ctest keeps a
# passing test's output only in its log, so they are shown from there.
figures() {
  grep -h '^figure: ' "$1/Testing/Temporary/LastTest.log" | sed 's/^figure: /  /' || true
}

# run_tests DIR TIMEOUT [CTEST_OPTION ...]
# --no-tests=error: a build that lost its tests must not pass as green.
run_tests() {
  local dir=$1 timeout=$2
  shift 2
  ctest --test-dir "$dir" --output-on-failure --timeout "$timeout" --no-tests=error "$@"
  figures "$dir"
}

# The wiringpi build, linked against a stand-in libwiringPi that finds no
# board, built into a temporary prefix (tests/gpio/wiringpi-standin): it
# must run once and stop as the stand-in says; gpio.h must refuse a
# wiringPi.h that disagrees with it; its unit must allow wiringPi's devices
# and score 3.0 or lower; and build-wiringpi-missing must stop at
# configure, saying why.
wiringpi() {
  local standin=tests/gpio/wiringpi-standin
  prefix=$(mktemp -d -t teclado-wiringpi.XXXXXX)
  trap 'rm -rf "$prefix"' EXIT
  mkdir -p "$prefix/include" "$prefix/lib"
  cp "$standin/wiringPi.h" "$prefix/include/"
  cc -shared -fPIC -O2 -Wall -Wextra -o "$prefix/lib/libwiringPi.so" "$standin/wiringPi.c"
  # -U: a library found in an earlier run's prefix (since removed) must not stick.
  build build-wiringpi -U 'WIRINGPI_*' -DTECLADO_GPIO=wiringpi \
    -DCMAKE_PREFIX_PATH="$prefix" -DBUILD_TESTING=OFF

  ldd build-wiringpi/teclado | grep -F "$prefix/lib/libwiringPi.so" \
    || fail "build-wiringpi/teclado is not linked to the stand-in in $prefix"
  runs_once '^wiringPi stand-in: no Raspberry Pi here$' build-wiringpi/teclado

  # The wiringpi build's unit opens wiringPi's memory devices instead of the
  # GPIO character devices, and must still be as narrow as the packaged one.
  local unit=build-wiringpi/teclado.service
  grep -qx 'DeviceAllow=/dev/gpiomem rw' "$unit" && ! grep -q 'char-gpiochip' "$unit" \
    || fail "$unit does not allow wiringPi's /dev/gpiomem alone"
  exposure "$unit" "wiringpi build's teclado.service"

  # A wiringPi.h that disagrees with gpio.h on a signature or a value must
  # stop the build of the scanner.
  local cxx change
  cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build-wiringpi/CMakeCache.txt)
  mkdir -p "$prefix/other"
  for change in 's/void delay (unsigned int howLong)/void delay (int howLong)/' \
                's/int digitalRead (int pin)/long digitalRead (int pin)/' \
                's/#define PUD_DOWN 1/#define PUD_DOWN 2/'; do
    sed "$change" "$standin/wiringPi.h" > "$prefix/other/wiringPi.h"
    ! cmp -s "$standin/wiringPi.h" "$prefix/other/wiringPi.h" \
      || fail "'$change' changed nothing in wiringPi.h"
    if "$cxx" -std=c++17 -fsyntax-only -DTECLADO_GPIO_WIRINGPI -I"$prefix/other" -Isrc \
         -Ibuild-wiringpi src/teclado.cpp 2> "$prefix/other/log"; then
      fail "src/teclado.cpp compiled against a wiringPi.h changed by '$change'"
    fi
    echo "refused, as it should be, a wiringPi.h changed by '$change':"
    grep -m1 'error' "$prefix/other/log"
  done

  echo "== wiringpi without the library"
  rm -rf build-wiringpi-missing
  if cmake -S . -B build-wiringpi-missing -DTECLADO_GPIO=wiringpi -DBUILD_TESTING=OFF \
       > "$prefix/missing.log" 2>&1; then
    fail "configure with TECLADO_GPIO=wiringpi succeeded without libwiringPi"
  fi
  grep -F "TECLADO_GPIO=wiringpi needs the board's wiringPi library" "$prefix/missing.log" \
    || { cat "$prefix/missing.log"; fail "configure failed without saying that wiringPi is missing"; }
  rm -rf "$prefix"
  trap - EXIT
}

# A cross-build for the board (armhf or arm64: cmake/ARCH.cmake), its ELF
# header checked and its suite run under qemu-arm or qemu-aarch64 against
# the private MariaDB (its fixture scripts and the server run natively).
# Soak runs are left to the native stage: under emulation they would only
# measure qemu.
board_suite() {
  local arch=$1 dir=$2 gpio=$3
  build "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/$arch.cmake" -DTECLADO_GPIO="$gpio" \
    -DBUILD_TESTING=ON
  bash scripts/check-elf.sh "$dir/teclado" "$arch"
  run_tests "$dir" 300 -LE soak
}

# The benchmarks run as the CTest tests labelled bench, on the tests'
# private server, in a Release build; the recordings read an option file
# of their own at every event, and bench/CMakeLists.txt builds the armhf
# programs too (TECLADO_BENCH_ARMHF).
bench() {
  local armhf=ON groups=(bench cross)
  if [[ " ${TECLADO_BENCH_OPTIONS:-} " == *" --native "* ]]; then
    armhf=OFF
    groups=(bench)
  fi
  bash scripts/install-deps.sh "${groups[@]}"
  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTECLADO_GPIO=sim -DBUILD_TESTING=ON \
    -DTECLADO_BENCH=ON -DTECLADO_BENCH_ARMHF="$armhf"
  cmake --build build-bench -j2 --target benchmarks
  ctest --test-dir build-bench --output-on-failure --no-tests=error -L bench
  cat build-bench/bench-run/table.txt
  figures build-bench
}

for stage in "${stages[@]}"; do
  echo "==== test.sh: $stage"
  case $stage in
    native)
      bash scripts/install-deps.sh faults
      build build
      run_tests build 300 -LE soak ;;
    chardev)
      bash scripts/install-deps.sh
      build build-chardev -DTECLADO_GPIO=chardev
      run_tests build-chardev 300 ;;
    wiringpi)
      bash scripts/install-deps.sh
      wiringpi ;;
    backends)
      bash scripts/test.sh chardev wiringpi ;;
    soak)
      bash scripts/install-deps.sh faults
      build build
      run_tests build 900 -L soak ;;
    sanitize)
      bash scripts/install-deps.sh
      build build-sanitize -DCMAKE_BUILD_TYPE=Sanitize
      # teclado is killed at the end of every run, so leaks are found in the
      # test programs, which exit; the binary's own are memcheck's (soak).
      ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
      UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        run_tests build-sanitize 300 -LE soak ;;
    armhf)
      bash scripts/install-deps.sh cross
      bash scripts/check-install-deps.sh
      board_suite armhf build-armhf sim
      # The board's own build, the one the armhf package holds.
      board_suite armhf build-armhf-chardev chardev
      bash scripts/package.sh ;;
    arm64)
      bash scripts/install-deps.sh arm64
      board_suite arm64 build-arm64 sim
      board_suite arm64 build-arm64-chardev chardev ;;
    kernel)
      bash scripts/test-kernel.sh ;;
    edge)
      bash scripts/test-edge.sh ;;
    bench)
      bench ;;
    fresh)
      bash scripts/test-fresh.sh ;;
    *) echo "test.sh: unknown stage '$stage' (${all[*]})" >&2; exit 2 ;;
  esac
done
echo "==== test.sh: passed: ${stages[*]}"
