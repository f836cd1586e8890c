#!/usr/bin/env bash
# Builds vumo-dfu for 64-bit Windows on Debian (mingw-w64, statically linked), runs its tests
# under Wine (the window's under Xvfb), checks that the Windows programs give the Linux build's
# answers, and writes
#   build/windows/vumo-dfu-<version>-windows-x64.zip
# with vumo-dfu-utility.exe (the window), vumo-dfu.exe, checksum.exe, the licence,
# README-windows.txt and the installer vumo-dfu-<version>-x64.msi (wixl), which installs the
# three programs for the current user without administrator rights; the installer is also
# checked under Wine: installed, run, removed.
#
# Usage: scripts/build-windows.sh [--no-tests]
# VUMO_CMAKE_ARGS adds configure arguments (CI: -DVUMO_WERROR=ON). Wine runs in a prefix of
# its own, made afresh for each run and removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
run_tests=1
[ "${1:-}" = "--no-tests" ] && run_tests=0

scripts/install-deps.sh --windows
start=$SECONDS
stamp() { echo "== windows: $1 ($((SECONDS - start)) s)"; }
jobs=$(nproc)

stamp "configure and build"
# shellcheck disable=SC2086 # VUMO_CMAKE_ARGS is a list of arguments
cmake --preset windows ${VUMO_CMAKE_ARGS:-} >/dev/null
cmake --build --preset windows -j"$jobs"

version=$(sed -n 's/^project(vumo-dfu VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
bin=build/windows/bin
zip_name=vumo-dfu-$version-windows-x64
stage=build/windows/$zip_name
rm -rf "$stage" "build/windows/$zip_name.zip"
mkdir -p "$stage"
for exe in vumo-dfu-utility.exe vumo-dfu.exe checksum.exe; do
  x86_64-w64-mingw32-strip -o "$stage/$exe" "$bin/$exe"
done
# Notepad and every Windows editor read CR LF.
sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
sed "s/@VERSION@/$version/; s/\$/\r/" packaging/windows/README-windows.txt >"$stage/README-windows.txt"
# The installer takes the staged files; wixl reads its sources relative to where it runs.
msi_name=vumo-dfu-$version-x64.msi
cp packaging/windows/vumo-dfu-utility.ico build/windows/vumo-dfu-utility.ico
(cd build/windows && wixl -a x64 -D Version="$version" -D Stage="$zip_name" \
  -D Icon=vumo-dfu-utility.ico -o "$zip_name/$msi_name" ../../packaging/windows/vumo-dfu.wxs)
(cd build/windows && zip -q -r "$zip_name.zip" "$zip_name")
stamp "wrote build/windows/$zip_name.zip ($(du -k "build/windows/$zip_name.zip" | cut -f1) KiB)"

[ $run_tests -eq 1 ] || exit 0

# A fresh prefix for this run; wineserver ends with the run.
export WINEDEBUG=-all
# Wine takes the command line from the Unix locale: UTF-8, so that names beyond ASCII arrive.
export LC_ALL=C.UTF-8
WINEPREFIX=$(mktemp -d /tmp/vumo-wine.XXXXXX)
export WINEPREFIX
wine=/usr/lib/wine/wine64
cleanup() { /usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"; }
trap cleanup EXIT
stamp "making the Wine prefix"
$wine wineboot -i >/dev/null 2>&1
# One server for the whole run: each program then starts in a fraction of a second. The one
# wineboot started lingers a few seconds and refuses -p meanwhile: wait for it to end first.
/usr/lib/wine/wineserver -w
/usr/lib/wine/wineserver -p 600
# Wine's own services start with the first program and live as long as the server, holding
# that program's output open: started here, they hold /dev/null rather than a test's output,
# for which ctest would wait until the server ends.
$wine cmd /c exit >/dev/null 2>&1

stamp "tests under Wine"
ctest --preset windows -j"$jobs"

# The installer as a user runs it: no administrator, the programs in the user's own folder, a
# Start-menu entry, and nothing left after the removal.
stamp "installing and removing the .msi under Wine"
$wine msiexec /i "$PWD/$stage/$msi_name" /qn
home_dir=$($wine cmd /c 'echo %LOCALAPPDATA%' 2>/dev/null | tr -d '\r')
installed=$($wine winepath -u "$home_dir\\Programs\\vumo-dfu")
menu=$($wine winepath -u "$($wine cmd /c 'echo %APPDATA%' 2>/dev/null | tr -d '\r')\\Microsoft\\Windows\\Start Menu\\Programs\\vumo-dfu")
for f in vumo-dfu-utility.exe vumo-dfu.exe checksum.exe; do
  [ -f "$installed/$f" ] || { echo "windows: the installer left out $f" >&2; exit 1; }
done
[ -f "$menu/Vumo DFU Utility.lnk" ] || { echo "windows: no Start-menu entry" >&2; exit 1; }
$wine "$installed/vumo-dfu.exe" list --simulate | grep -q 'VUMO-0001'
$wine msiexec /x "$PWD/$stage/$msi_name" /qn
if [ -e "$installed" ] || [ -e "$menu" ]; then
  echo "windows: the removal left $installed or $menu behind" >&2
  exit 1
fi

# The same answers as the Linux build: every sample checked by both, the update and the station
# ended by both. The Linux programs come from the dev build (made here when missing).
stamp "comparing with the Linux build"
linux=build/dev/bin
cli_tests="cli_tests station_cli_tests pacing_cli_tests"
# shellcheck disable=SC2086
cmake --preset dev ${VUMO_CMAKE_ARGS:-} >/dev/null
# shellcheck disable=SC2086
cmake --build --preset dev -j"$jobs" --target vumo-dfu checksum vumo-sample-image $cli_tests
work=$(mktemp -d /tmp/vumo-compare.XXXXXX)
trap 'cleanup; rm -rf "$work"' EXIT
$linux/vumo-sample-image --all "$work" >/dev/null
# A name beyond ASCII: Windows hands it over in UTF-16, and it must arrive whole.
cp "$work/sample-loc-2.bin" "$work/prüfung-ÄÖÜ-固件.bin"
failed=0
compare() {  # what, linux output file, windows output file
  if ! diff -u "$2" "$3"; then
    echo "windows: $1 differs from the Linux build" >&2
    failed=1
  fi
}
for f in "$work"/*.bin "$work"/*.hex; do
  name=$(basename "$f")
  set +e
  $linux/vumo-dfu check "$f" --json >"$work/$name.linux" 2>&1; echo "exit $?" >>"$work/$name.linux"
  $wine $bin/vumo-dfu.exe check "$f" --json >"$work/$name.windows" 2>&1; echo "exit $?" >>"$work/$name.windows"
  set -e
  compare "check $name" "$work/$name.linux" "$work/$name.windows"
done
set +e
$linux/vumo-dfu update "$work/sample-loc-1.bin" --simulate=dfu --pacing fast --json >"$work/update.linux" 2>/dev/null
echo "exit $?" >>"$work/update.linux"
$wine $bin/vumo-dfu.exe update "$work/sample-loc-1.bin" --simulate=dfu --pacing fast --json >"$work/update.windows" 2>/dev/null
echo "exit $?" >>"$work/update.windows"
# The station's events come in the order its threads reach them: compare what they end with.
$linux/vumo-dfu station "$work/sample-loc-1.bin" --simulate=devices=4 --count 4 --json 2>/dev/null |
  grep -E '"event": "(finished|summary)"' | sed 's/"seconds": [0-9.]*//' | sort >"$work/station.linux"
echo "exit ${PIPESTATUS[0]}" >>"$work/station.linux"
$wine $bin/vumo-dfu.exe station "$work/sample-loc-1.bin" --simulate=devices=4 --count 4 --json 2>/dev/null |
  grep -E '"event": "(finished|summary)"' | sed 's/"seconds": [0-9.]*//' | sort >"$work/station.windows"
echo "exit ${PIPESTATUS[0]}" >>"$work/station.windows"
set -e
compare "update --simulate=dfu --pacing fast --json" "$work/update.linux" "$work/update.windows"
compare "station --simulate=devices=4 --count 4 --json" "$work/station.linux" "$work/station.windows"
checks=$(find "$work" -name '*.linux' | wc -l)

# The command-line tests of the Linux build, run against vumo-dfu.exe through Wine (their child
# runner starts a .exe through VUMO_TEST_EMULATOR). Left out: SIGTERM and SIGHUP, which Windows
# does not have (Ctrl-C is tested by the station's tests; a closed console is an event that a test
# can't send a Wine process), the verbose log's tool line, which names the
# Linux tool, and Ctrl-C during the file check: under Wine about one run in three ends with the
# tool's failure (status 1) instead of 130, as the stand-in tool (a shell script Wine starts as a
# Unix process) can end before the console event reaches us.
stamp "command-line tests against vumo-dfu.exe"
windows_only='-*StoppedBeforeAnyDeviceEndsAsInterrupted*:*AClosedPipeOrTerminalDrainsTheStationAndSparesTheUpdate*:*VerboseShowsTimedStepsAndTheChecksumToolsRun*:*CtrlCDuringTheFileCheckEndsTheToolAndTheCommandAtOnce*'
for t in $cli_tests; do
  if ! (cd build/dev && VUMO_TEST_DFU_PROGRAM="$PWD/../windows/bin/vumo-dfu.exe" \
        VUMO_TEST_EMULATOR=$wine ./bin/"$t" --gtest_filter="$windows_only" >"$work/$t.log" 2>&1); then
    grep -E '^\[  FAILED|Failure' -A3 "$work/$t.log" >&2 || tail -20 "$work/$t.log" >&2
    echo "windows: $t failed against vumo-dfu.exe" >&2
    failed=1
  fi
  grep -E '^\[  PASSED' "$work/$t.log" | sed "s/^/windows: $t: /"
done
if [ $failed -ne 0 ]; then
  echo "windows: $checks comparisons, some differ"
  exit 1
fi
echo "windows: $checks comparisons with the Linux build, all the same"
stamp "done"
