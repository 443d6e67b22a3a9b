#!/bin/bash
# Runs teclado's tests: installs the packages, builds and runs CTest, whose
# fixtures start and stop a private MariaDB themselves.
#
# usage: test.sh [stage ...]      (no stage: all of them, in this order)
#   native    unit, recorder and end-to-end tests of the PC build (build/)
#   backends  the board's GPIO backends on this PC: chardev against a stand-in
#             of the kernel's GPIO device, wiringpi against a stand-in library
#   soak      long and fault runs of the real binary against the real server
#   sanitize  the native suite built with AddressSanitizer and UBSan
#   armhf     cross-build for the board, its suite under qemu-arm, packages
#   kernel    the board's chardev build on Debian's kernel under qemu-system-arm
#   bench     the benchmarks in their quick mode
set -euo pipefail

cd "$(dirname "$0")/.."
all=(native backends soak sanitize armhf kernel bench)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=("${all[@]}")

native_build() {
  bash scripts/install-deps.sh faults
  cmake -S . -B build
  cmake --build build -j2
}

# The tests print their measurements as "figure: ..." lines; ctest keeps a
# passing test's output only in its log, so they are shown from there.
figures() {
  grep -h '^figure: ' "$1/Testing/Temporary/LastTest.log" | sed 's/^figure: /  /' || true
}

for stage in "${stages[@]}"; do
  echo "==== test.sh: $stage"
  case $stage in
    native)
      native_build
      # --no-tests=error: a build that lost its tests must not pass as green.
      ctest --test-dir build --output-on-failure --timeout 300 --no-tests=error -LE soak
      figures build ;;
    soak)
      native_build
      ctest --test-dir build --output-on-failure --timeout 900 --no-tests=error -L soak
      figures build ;;
    backends) bash scripts/test-backends.sh ;;
    sanitize) bash scripts/test-sanitize.sh ;;
    armhf) bash scripts/test-armhf.sh ;;
    kernel) bash scripts/test-kernel.sh ;;
    bench) bash scripts/bench.sh --quick ;;
    *) echo "test.sh: unknown stage '$stage' (${all[*]})" >&2; exit 2 ;;
  esac
done
echo "==== test.sh: passed: ${stages[*]}"
