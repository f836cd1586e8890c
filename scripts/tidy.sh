#!/usr/bin/env bash
# Runs clang-tidy (checks in .clang-tidy) over the program's own sources in src/ and tools/,
# with the compile commands of the dev build, two files at a time. Any finding fails.
# Usage: scripts/tidy.sh [REGEX...]: only the sources whose path matches one of the regexes.
#
# Qt's generated sources (moc, rcc) live in the build folder and are never checked; the tests
# are not checked either.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh --tidy
# shellcheck disable=SC2086
cmake --preset dev ${VUMO_CMAKE_ARGS:-} -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

# The translation units by their compile commands, so each is checked with the flags it is
# built with; the generated ones, under build/, drop out here.
mapfile -t files < <(python3 -c '
import json, re, sys
root, patterns = sys.argv[1], sys.argv[2:] or ["."]
for entry in json.load(open(root + "/build/dev/compile_commands.json")):
    path = entry["file"]
    if re.match(re.escape(root) + "/(src|tools)/", path) and any(re.search(p, path) for p in patterns):
        print(path)
' "$root" "$@")
[ ${#files[@]} -ne 0 ] || { echo "tidy: no source file matches" >&2; exit 2; }
echo "clang-tidy over ${#files[@]} files"

# xargs exits non-zero when any clang-tidy did, which -warnings-as-errors makes every finding do.
status=0
printf '%s\0' "${files[@]}" |
  xargs -0 -n 1 -P 2 clang-tidy-14 -p build/dev --quiet --warnings-as-errors='*' 2>&1 |
  grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' || status=${PIPESTATUS[1]}
if [ "$status" -ne 0 ]; then
  echo "clang-tidy found problems (see above)" >&2
  exit 1
fi
echo "clang-tidy: no findings"
