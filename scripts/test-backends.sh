#!/bin/bash
# Stage "backends" of scripts/test.sh: the board's GPIO backends, built and
# run on this PC, which has no GPIO.
#   chardev   build-chardev and its whole suite; the tests preload a stand-in
#             for the kernel's GPIO device (tests/gpio/fake_gpiochip.cpp)
#   wiringpi  build-wiringpi against a stand-in libwiringPi built into a
#             temporary prefix (tests/gpio/wiringpi-standin), run once; gpio.h
#             must refuse a wiringPi.h that disagrees with it; its unit must
#             allow wiringPi's devices and score 3.0 or lower; and
#             build-wiringpi-missing must stop at configure, saying why
set -euo pipefail

cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

fail() {
  echo "test-backends: $*" >&2
  exit 1
}

echo "== backends: chardev"
cmake -S . -B build-chardev -DTECLADO_GPIO=chardev
cmake --build build-chardev -j2
ctest --test-dir build-chardev --output-on-failure --timeout 300 --no-tests=error

echo "== backends: wiringpi"
prefix=$(mktemp -d /tmp/teclado-wiringpi.XXXXXX)
trap 'rm -rf "$prefix"' EXIT
mkdir -p "$prefix/include" "$prefix/lib"
cp tests/gpio/wiringpi-standin/wiringPi.h "$prefix/include/"
cc -shared -fPIC -O2 -Wall -Wextra -o "$prefix/lib/libwiringPi.so" tests/gpio/wiringpi-standin/wiringPi.c
# -U: a library found in an earlier run's prefix (since removed) must not stick.
cmake -S . -B build-wiringpi -U 'WIRINGPI_*' -DTECLADO_GPIO=wiringpi \
      -DCMAKE_PREFIX_PATH="$prefix" -DBUILD_TESTING=OFF
cmake --build build-wiringpi -j2

ldd build-wiringpi/teclado | grep -F "$prefix/lib/libwiringPi.so" \
  || fail "build-wiringpi/teclado is not linked to the stand-in in $prefix"
status=0
timeout 10 build-wiringpi/teclado < /dev/null > "$prefix/out" 2> "$prefix/err" || status=$?
echo "teclado exited with status $status; its output:"
cat "$prefix/out" "$prefix/err"
[ "$status" -eq 1 ] || fail "expected exit status 1 when wiringPiSetup fails, got $status"
[ "$(cat "$prefix/out")" = "Estamos testando os pinos" ] || fail "unexpected standard output"
[ "$(cat "$prefix/err")" = "wiringPi stand-in: no Raspberry Pi here" ] || fail "unexpected standard error"

# The wiringpi build's unit opens wiringPi's memory devices instead of the
# GPIO character devices, and must still be as narrow as the packaged one.
unit=build-wiringpi/teclado.service
grep -qx 'DeviceAllow=/dev/gpiomem rw' "$unit" && ! grep -q 'char-gpiochip' "$unit" \
  || fail "$unit does not allow wiringPi's /dev/gpiomem alone"
score=$(systemd-analyze security --offline=true "$unit" 2>&1 |
          sed -n 's/.*Overall exposure level for teclado.service: \([0-9.]*\).*/\1/p')
echo "figure: wiringpi build's teclado.service exposure (systemd-analyze security --offline=true): $score"
[ -n "$score" ] && awk -v s="$score" 'BEGIN { exit !(s <= 3.0) }' \
  || fail "$unit exposure '$score', expected 3.0 or lower"

# A wiringPi.h that disagrees with gpio.h on a signature or a value must
# stop the build of the scanner.
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build-wiringpi/CMakeCache.txt)
mkdir -p "$prefix/other"
for change in 's/void delay (unsigned int howLong)/void delay (int howLong)/' \
              's/int digitalRead (int pin)/long digitalRead (int pin)/' \
              's/#define PUD_DOWN 1/#define PUD_DOWN 2/'; do
  sed "$change" tests/gpio/wiringpi-standin/wiringPi.h > "$prefix/other/wiringPi.h"
  ! cmp -s tests/gpio/wiringpi-standin/wiringPi.h "$prefix/other/wiringPi.h" \
    || fail "'$change' changed nothing in wiringPi.h"
  if "$cxx" -std=c++17 -fsyntax-only -DTECLADO_GPIO_WIRINGPI -I"$prefix/other" -Isrc \
       -Ibuild-wiringpi src/teclado.cpp 2> "$prefix/other/log"; then
    fail "src/teclado.cpp compiled against a wiringPi.h changed by '$change'"
  fi
  echo "refused, as it should be, a wiringPi.h changed by '$change':"
  grep -m1 'error' "$prefix/other/log"
done

echo "== backends: wiringpi without the library"
rm -rf build-wiringpi-missing
if cmake -S . -B build-wiringpi-missing -DTECLADO_GPIO=wiringpi -DBUILD_TESTING=OFF \
     > "$prefix/missing.log" 2>&1; then
  fail "configure with TECLADO_GPIO=wiringpi succeeded without libwiringPi"
fi
grep -F "TECLADO_GPIO=wiringpi needs the board's wiringPi library" "$prefix/missing.log" \
  || { cat "$prefix/missing.log"; fail "configure failed without saying that wiringPi is missing"; }
echo "== backends: passed"
