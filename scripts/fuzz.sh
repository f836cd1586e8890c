#!/usr/bin/env bash
# Builds the libFuzzer targets of the parsers (preset fuzz: clang, address + undefined-behaviour
# sanitizers) and runs each for a bounded time from its seed corpus in tests/fuzz/corpus/.
# Usage: scripts/fuzz.sh [SECONDS [TARGET...]]; SECONDS per target, default 60.
#
# Fails on any crash, broken property, sanitizer report, leak, input slower than 10 s (a hang)
# or memory beyond 2 GiB; the input that did it is kept under build/fuzz/findings/ and named in
# the output. New inputs the run discovers go to build/fuzz/findings/<target>/corpus, never into
# the checked-in seeds. Prints how many inputs each target executed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "usage: scripts/fuzz.sh [SECONDS [TARGET...]]" >&2; exit 2; }

scripts/install-deps.sh --fuzz
# shellcheck disable=SC2086
cmake --preset fuzz ${VUMO_CMAKE_ARGS:-} >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for bin in build/fuzz/bin/fuzz_*; do targets+=("$(basename "$bin")"); done
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:${UBSAN_OPTIONS:-}"
failed=()
for target in "${targets[@]}"; do
  bin=build/fuzz/bin/$target
  seeds=tests/fuzz/corpus/$target
  work=build/fuzz/findings/$target
  [ -x "$bin" ] || { echo "no fuzz target $target" >&2; exit 2; }
  [ -d "$seeds" ] || { echo "no seed corpus $seeds" >&2; exit 2; }
  mkdir -p "$work/corpus"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -detect_leaks=1
        -print_final_stats=1 -artifact_prefix="$work/")
  [ -f "tests/fuzz/$target.dict" ] && args+=(-dict="tests/fuzz/$target.dict")

  rc=0
  # The outer limit only guards against libFuzzer itself not ending; -timeout catches hangs.
  timeout --kill-after=10 $((seconds + 120)) "$bin" "${args[@]}" "$work/corpus" "$seeds" \
    >"$work/log" 2>&1 || rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$work/log" | tail -n 1)
  [ -n "$runs" ] || runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$work/log" | tail -n 1)
  if [ "$rc" -ne 0 ]; then
    echo "FAILED  $target (exit $rc) after ${runs:-?} executions; log: $work/log"
    grep -E 'ERROR|SUMMARY|property does not hold|Test unit written' "$work/log" | head -n 20 \
      | sed 's/^/    /'
    failed+=("$target")
  else
    printf '%-26s %12s executions in %s s\n' "$target" "${runs:-?}" "$seconds"
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}" >&2
  exit 1
fi
