#!/usr/bin/env bash
# Measures what an update and an idle program cost, against the simulated device with the
# product's real timings, and writes the results to docs/performance.md.
#
#   scripts/bench.sh [--short] [BUILD_DIR]
#
# Builds the release configuration (RelWithDebInfo, the window included) with the benchmarks
# into BUILD_DIR (default build/bench) and runs build/bench/bin/vumo-bench. A full run takes
# about eleven minutes, most of it real updates of 1024 blocks. One part alone:
# VUMO_BENCH_ARGS="--parts pacing" (the page then holds that part only).
#
# --short   each measurement once and quickly (CI): a 16-block update, one second of idling,
#           single benchmark iterations. Writes BUILD_DIR/performance-short.md, not the docs,
#           and never fails on timings, only when something could not be measured.
#
# Environment:
#   VUMO_BENCH_MAX_LOAD   wait (at most 20 minutes) until the 1-minute load average is below
#                         this before the whole-process figures; unset: do not wait
#   VUMO_BENCH_GUI=OFF    build without the window (its figures are then "not measured")
#   VUMO_BENCH_VM_FIGURES the file `scripts/vm-test.sh --figures FILE pacing` wrote: its fast and
#                         standard pacing on the real kernel go into the "Fast pacing" table
#   VUMO_BENCH_ARGS       more options for vumo-bench (see vumo-bench --help)
#   VUMO_CMAKE_ARGS       more options for the configure step (CI: -DVUMO_WERROR=ON)
#   VUMO_JOBS             parallel build jobs (default: the number of processors)
#
# Like the other scripts it first installs the Debian packages the build needs, when missing.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
short=0
build=$root/build/bench
for arg in "$@"; do
    case $arg in
        --short) short=1 ;;
        -h | --help)
            sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
            exit 0
            ;;
        -*)
            echo "bench.sh: unknown option $arg" >&2
            exit 2
            ;;
        *) build=$arg ;;
    esac
done
[[ $build == /* ]] || build=$PWD/$build

grep -q VUMO_BUILD_BENCH "$root/CMakeLists.txt" ||
    { echo "bench.sh: the top-level CMakeLists.txt does not add bench/ (VUMO_BUILD_BENCH)" >&2; exit 2; }

cd "$root"
scripts/install-deps.sh
# shellcheck disable=SC2086
cmake --preset release -B "$build" -DVUMO_BUILD_BENCH=ON -DVUMO_BUILD_TESTS=OFF \
    -DVUMO_BUILD_GUI="${VUMO_BENCH_GUI:-ON}" ${VUMO_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" --target vumo-bench --parallel "${VUMO_JOBS:-$(nproc)}"

args=(--bin "$build/bin" --notes "$root/bench/notes.md" --pacing-notes "$root/bench/pacing-notes.md"
    --station64-notes "$root/bench/station64-notes.md")
if ((short)); then
    args+=(--short --command "scripts/bench.sh --short" --output "$build/performance-short.md")
else
    args+=(--command "scripts/bench.sh" --output "$root/docs/performance.md")
fi
[[ -n ${VUMO_BENCH_MAX_LOAD:-} ]] && args+=(--wait-for-load "$VUMO_BENCH_MAX_LOAD")
[[ -n ${VUMO_BENCH_VM_FIGURES:-} ]] && args+=(--vm-figures "$VUMO_BENCH_VM_FIGURES")
# shellcheck disable=SC2206
[[ -n ${VUMO_BENCH_ARGS:-} ]] && args+=($VUMO_BENCH_ARGS)
exec "$build/bin/vumo-bench" "${args[@]}"
