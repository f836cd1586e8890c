#!/usr/bin/env bash
# Takes the pictures of the Windows dialog in docs/images (windows-idle.png, windows-update.png,
# windows-error.png): the windows build's winapp_screenshots drives the real dialog on the
# simulated bus under Wine, in a Wine desktop of its own on an Xvfb display (so Wine draws the
# frames), and copies it off the screen; ImageMagick turns the BMP files into PNG.
#
# Usage: scripts/windows-screenshots.sh   (after cmake --preset windows; installs what is missing)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --windows imagemagick
cmake --preset windows >/dev/null
cmake --build --preset windows --target winapp_screenshots checksum

export WINEDEBUG=-all
WINEPREFIX=$(mktemp -d /tmp/vumo-wine-shots.XXXXXX)
export WINEPREFIX
out=$(mktemp -d /tmp/vumo-shots.XXXXXX)
cleanup() { /usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX" "$out"; }
trap cleanup EXIT
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
xvfb-run -a -s "-screen 0 1024x768x24" /usr/lib/wine/wine64 explorer /desktop=vumo,560x300 \
  "$PWD/build/windows/bin/winapp_screenshots.exe" "$(/usr/lib/wine/wine64 winepath -w "$out")"
for name in windows-idle windows-update windows-error; do
  [ -f "$out/$name.bmp" ] || { echo "windows-screenshots: $name was not taken" >&2; exit 1; }
  convert "$out/$name.bmp" -strip "docs/images/$name.png"
done
echo "docs/images: windows-idle.png windows-update.png windows-error.png"
