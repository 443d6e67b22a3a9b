#!/bin/bash
# Benchmarks of teclado: the quiet scan pass against its own pauses, the
# processor it takes while idle, the cost of recording one event, the
# shortest tap it still catches and its peak memory; then the same scan,
# recorder and taps on the armhf build under qemu-arm; teclado-relatorio over
# a million rows. Prints one table.
#
# usage: bench.sh [--quick] [--native] [--strict]
#   --quick    counts cut down (about a minute of measuring); what CI runs
#   --native   skip the armhf build and qemu-arm
#   --strict   exit 3 when a target is missed (default: missed targets are
#              only marked in the table; timings on a shared machine are noisy)
#
# Exit status is otherwise non-zero only when a benchmark could not run.
# Builds into build-bench and build-bench-armhf (Release); the private
# MariaDB keeps its data in build-bench/mariadb and is stopped at the end.
set -euo pipefail

usage() { echo "usage: $0 [--quick] [--native] [--strict]" >&2; exit 2; }
quick=false
native=false
strict=false
for arg in "$@"; do
  case $arg in
    --quick) quick=true ;;
    --native) native=true ;;
    --strict) strict=true ;;
    *) usage ;;
  esac
done
cd "$(dirname "$0")/.."
root=$(pwd)

# The benchmarks log in as root with the default password, whatever the
# caller's environment says; the server gets the same account.
export TECLADO_DB_USER=root TECLADO_DB_PASSWORD=tqvz
unset TECLADO_DB_SOCKET
dbdir=$root/build-bench/mariadb
db_started=false
cleanup() {
  trap '' INT TERM
  if $db_started; then
    scripts/private-mariadb.sh stop "$dbdir" > /dev/null || true
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if $native; then
  bash scripts/install-deps.sh bench
else
  bash scripts/install-deps.sh bench cross
fi

# Configure and build quietly; the log is shown only if something fails.
build() {
  local dir=$1
  shift
  mkdir -p "$dir"
  echo "bench: building $dir"
  if ! { cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTECLADO_BENCH=ON -DBUILD_TESTING=OFF \
           -DTECLADO_GPIO=sim -DTECLADO_DB_HOST=localhost -DTECLADO_DB_USER=root \
           -DTECLADO_DB_PASSWORD=tqvz -DTECLADO_DB_NAME=embarcados "$@" &&
         cmake --build "$dir" -j2 --target teclado teclado-relatorio scan_bench \
           record_bench; } \
       > "$dir/bench-build.log" 2>&1; then
    tail -n 40 "$dir/bench-build.log" >&2
    echo "bench: build of $dir failed (log: $dir/bench-build.log)" >&2
    exit 1
  fi
}
build build-bench
armhf=()
if ! $native; then
  build build-bench-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
  armhf=(--armhf build-bench-armhf --qemu "qemu-arm -L /usr/arm-linux-gnueabihf")
fi

db_started=true
scripts/private-mariadb.sh start "$dbdir" > /dev/null

flags=()
$quick && flags+=(--quick)
$strict && flags+=(--strict)
# Debian's own Python, the one python3-pymysql is installed for, whatever
# python3 comes first in PATH.
/usr/bin/python3 bench/bench.py --build build-bench --socket "$(cat "$dbdir/socket")" \
  "${armhf[@]}" "${flags[@]}"
