#!/usr/bin/env bash
# Every I/O fault of an upload, injected one at a time (tests/faults): builds build/ and runs every point of
# every store, with and without mail, where the suite runs only a sample. Prints the points per store and
# each disagreement; exits non-zero when there is one.
#
#   scripts/faults.sh           every point: the N-th call fails once (EIO, ENOSPC for writes)
#   scripts/faults.sh --crash   every point: the engine, in a child process, is killed at the N-th call;
#                               then the terminal's resend must store each record exactly once
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
    "") ;;
    --crash) export GATHRA_FAULT_CRASH=1 ;;
    *) echo "usage: scripts/faults.sh [--crash]" >&2; exit 64 ;;
esac
bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target fault_harness_test quorlin
GATHRA_FAULT_POINTS=all GATHRA_BIN_DIR="$root/build/bin" GATHRA_SOURCE_DIR="$root" \
    "$root/build/tests/fault_harness_test"
