#!/usr/bin/env bash
# Sets up, builds and runs a whole firmware update on the built-in simulated device: the
# checksum tool checks a sample image, the simulated device switches to its update loader, takes
# the 1024 blocks and restarts.
#
#   scripts/demo.sh [OPTION...]
#
# Options go to the demo's `vumo-dfu update`: `scripts/demo.sh --pacing fast` updates without
# the fixed pauses (a few seconds instead of about half a minute), `-v` shows each step.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release -DVUMO_BUILD_TESTS=OFF >/dev/null
cmake --build --preset release -j "$(nproc)" --target vumo-dfu checksum vumo-sample-image
bin=build/release/bin
mkdir -p "$bin/samples"
"$bin/vumo-sample-image" --location 1 --size 131071 "$bin/samples/demo.bin" >/dev/null
exec "$bin/vumo-dfu" update "$bin/samples/demo.bin" --simulate "$@"
