#!/usr/bin/env bash
# Sets up, builds and runs the tests. Usage: scripts/test.sh [PRESET [CTEST ARGS...]], PRESET
# dev (default), asan or tsan. CMAKE_ARGS in the environment go to the configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-dev}
shift || true
scripts/install-deps.sh
# shellcheck disable=SC2086
cmake --preset "$preset" ${VUMO_CMAKE_ARGS:-} >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)" "$@"
