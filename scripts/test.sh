#!/bin/bash
# Runs all of teclado's tests: installs the packages, builds into build/ and
# runs CTest, whose fixtures start and stop the private MariaDB themselves.
# Extra arguments go to ctest, e.g. scripts/test.sh -R Recorder -V
set -euo pipefail

cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build
cmake --build build -j2
# --no-tests=error: a build that lost its tests must not pass as green.
ctest --test-dir build --output-on-failure --timeout 300 --no-tests=error "$@"
