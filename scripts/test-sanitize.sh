#!/bin/bash
# The native suite (all but the soak runs) built with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-sanitize/: the first bad access, leak
# or undefined operation stops the process that made it, and its test fails.
set -euo pipefail

cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=all"
# The keypad and recorder tests wrap time(), delay() and the client calls
# with -Wl,--wrap; ASan's own interceptors sit below __real_*, so both work.
cmake -S . -B build-sanitize \
  -DCMAKE_CXX_FLAGS="$sanitizers -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitizers"
cmake --build build-sanitize -j2

# teclado is killed at the end of every run, so leaks are found in the
# test programs, which exit; the binary's own are memcheck's (stage soak).
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir build-sanitize --output-on-failure --timeout 300 --no-tests=error -LE soak
