#!/usr/bin/env bash
# Sets up a fresh machine, builds the tests with AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=build-test
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DVELTARO_SANITIZE=ON -DVELTARO_BENCH=OFF
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 300

# The serial port's Windows layer: cross-compiled with mingw-w64, run under Wine.
win32=build-win32
cmake -S tests/portwell/win32 -B "$win32" -DCMAKE_TOOLCHAIN_FILE="$PWD/scripts/mingw-w64.cmake"
cmake --build "$win32" -j"$(nproc)"
ctest --test-dir "$win32" --output-on-failure --timeout 300
