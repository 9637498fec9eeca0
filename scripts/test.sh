#!/usr/bin/env bash
# Installs the Debian packages, builds Gathra and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
# The fuzz targets are built in their own instrumented folder; the suite runs each for a bounded time.
bash scripts/fuzz.sh --build
cd build
ctest --output-on-failure -j2 "$@"
