#!/usr/bin/env bash
# Sets up, builds and runs every test. Usage: scripts/test.sh [preset], preset dev (default),
# asan or tsan.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-dev}
scripts/install-deps.sh
cmake --preset "$preset" ${VUMO_CMAKE_ARGS:-} >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)"
