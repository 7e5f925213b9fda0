#!/usr/bin/env bash
# Installs what is missing (Debian packages), builds with warnings as errors
# and runs the whole test suite. Tests that need root skip themselves otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/deps.sh
ensure_packages

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWERROR=ON
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j 2 --timeout 600
