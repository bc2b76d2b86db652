#!/usr/bin/env bash
# Sets up a fresh machine, builds the application and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELTARO_TESTS=OFF -DVELTARO_BENCH=OFF
cmake --build "$build" -j"$(nproc)"
exec "$build/launcher/veltaro"
