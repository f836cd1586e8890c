#!/bin/sh
# Records every scenario of scenarios.tsv anew from the emulator, into this folder. Run it
# after a change to what goes over the bus (or to the update's steps), then look at the diff:
#   tests/recordings/make-recordings.sh [BUILD_DIR]    (default: build/dev)
# It needs vumo-dfu, checksum and vumo-sample-image built. "never-comes-back" waits out the
# device-return limit (30 s) and "update-from-app" the ten-second settling, so it takes about
# a minute.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build/dev}
bin=$(cd "$build/bin" && pwd)
cd "$here"

# The firmware file is checked in with the recordings: its bytes are in them.
[ -f firmware.bin ] || "$bin/vumo-sample-image" --location 1 --size 3000 firmware.bin >/dev/null

status=0
tab=$(printf '\t')
while IFS="$tab" read -r name want text args; do
    case $name in '#'*) continue ;; esac
    [ -n "$name" ] || continue
    # shellcheck disable=SC2086 # the command line is split on blanks on purpose
    set -- $args
    cmd=""
    for a in "$@"; do
        [ "$a" = FW ] && a=firmware.bin
        cmd="$cmd $a"
    done
    rm -f "$name.jsonl"
    got=0
    # shellcheck disable=SC2086
    out=$("$bin/vumo-dfu" $cmd --record "$name.jsonl" 2>&1) || got=$?
    case $out in *"$text"*) found=yes ;; *) found=no ;; esac
    if [ "$got" != "$want" ] || [ "$found" != yes ]; then
        echo "$name: exit $got (want $want), text '$text' found: $found" >&2
        echo "$out" >&2
        status=1
    else
        echo "$name: $(wc -c <"$name.jsonl") bytes, exit $got"
    fi
done < scenarios.tsv
exit $status
