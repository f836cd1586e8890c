#!/usr/bin/env bash
# Builds the programs and runs them against each other on a real Linux HID stack in a virtual
# machine: vumo-dfu-sim makes the device on /dev/uhid, vumo-dfu lists and updates it. All
# scenarios run in one boot (about a minute and a half under software emulation).
# Usage: scripts/vm-test.sh [preset] [scenario...]   preset dev (default) or release.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=dev
case "${1:-}" in dev|release) preset=$1; shift ;; esac
scripts/install-deps.sh qemu-system-x86 busybox-static cpio
cmake --preset "$preset" ${VUMO_CMAKE_ARGS:-} >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" \
  --target vumo-dfu vumo-dfu-sim checksum vumo-sample-image
program() { find "build/$preset" -type f -name "$1" -perm -u+x -not -path '*/CMakeFiles/*' | head -n 1; }
exec tests/vm/vm-test.sh --vumo-dfu "$(program vumo-dfu)" --sim "$(program vumo-dfu-sim)" \
  --checksum "$(program checksum)" --sample-image "$(program vumo-sample-image)" "${@:-all}"
