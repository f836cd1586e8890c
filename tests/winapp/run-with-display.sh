#!/bin/sh
# Runs the dialog's tests on a display and in a Wine prefix of their own: Wine's desktop process
# serves every program of a prefix on the display it was started with, so a prefix that other
# tests already use without a display can't show a window. Usage: run-with-display.sh WINE EXE
set -eu
wine=$1
shift
prefix=$(mktemp -d /tmp/vumo-wine-winapp.XXXXXX)
export WINEPREFIX="$prefix"
cleanup() { "$(dirname "$wine")/wineserver" -k 2>/dev/null || true; rm -rf "$prefix"; }
trap cleanup EXIT
# The prefix is made on the same display: the desktop process that wineboot starts stays for
# the programs that follow.
xvfb-run -a -s "-screen 0 1024x768x24" \
  sh -c '"$0" wineboot -i >/dev/null 2>&1 && exec "$0" "$@"' "$wine" "$@"
