#!/usr/bin/env bash
# Stops `vumo-dfu station` at the moment its first device is announced, over and over, and
# counts the runs that hang. A stop there races the start of the device's update: it must
# either keep the device from being told anything or stop its update, and the station must end
# with one result per device and its summary either way.
#
#   scripts/station-stop-race.sh [-n RUNS] [-t SECONDS] [-b VUMO_DFU] [FILE]
#
# Each run is `vumo-dfu --simulate=dfu station FILE --json --pacing fast`; SIGINT and then
# SIGTERM go to it as the "arrived" line appears. A run that has not ended SECONDS (default 10)
# after the signals counts as a hang and is killed. Without FILE a small sample image is made.
# Exits 1 when any run hung or ended without one "finished" line per "arrived" line.
set -uo pipefail
cd "$(dirname "$0")/.."

runs=200
limit=10
bin=build/dev/bin/vumo-dfu
while getopts "n:t:b:h" option; do
    case $option in
        n) runs=$OPTARG ;;
        t) limit=$OPTARG ;;
        b) bin=$OPTARG ;;
        *) sed -n '2,12p' "$0"; exit 2 ;;
    esac
done
shift $((OPTIND - 1))

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
file=${1:-}
if [[ -z $file ]]; then
    file=$work/sample.bin
    "$(dirname "$bin")/vumo-sample-image" --location 1 --size 4096 "$file" >/dev/null || exit 2
fi

hangs=0
torn=0
declare -A statuses=()
for ((run = 1; run <= runs; run++)); do
    fifo=$work/out
    rm -f "$fifo"
    mkfifo "$fifo"
    "$bin" --simulate=dfu station "$file" --json --pacing fast >"$fifo" 2>/dev/null &
    pid=$!
    exec {out}<"$fifo"
    arrived=0
    finished=0
    summary=0
    signalled=0
    hung=0
    while :; do
        IFS= read -r -t "$limit" line <&"$out"
        status=$?
        if ((status != 0)); then
            # End of output (the station has exited) or nothing for SECONDS: a hang.
            ((status > 128)) && hung=1
            break
        fi
        case $line in
            *'"event": "arrived"'*)
                ((arrived++))
                if ((!signalled)); then
                    kill -INT "$pid" 2>/dev/null
                    kill -TERM "$pid" 2>/dev/null
                    signalled=1
                fi
                ;;
            *'"event": "finished"'*) ((finished++)) ;;
            *'"event": "summary"'*) summary=1 ;;
        esac
    done
    exec {out}<&-
    # Its output has ended; the process itself gets SECONDS more to exit.
    for ((tenth = 0; !hung && tenth < limit * 10; tenth++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && hung=1
    if ((hung)); then
        ((hangs++))
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        echo "run $run: no end within ${limit} s of the stop (killed)" >&2
        continue
    fi
    wait "$pid"
    status=$?
    statuses[$status]=$((${statuses[$status]:-0} + 1))
    if ((finished != arrived || !summary)); then
        ((torn++))
        echo "run $run: $arrived arrived, $finished finished, summary $summary, exit $status" >&2
    fi
done

printf 'runs %d, hangs %d, runs without one result per device or a summary %d; exit statuses:' \
    "$runs" "$hangs" "$torn"
for status in "${!statuses[@]}"; do printf ' %s×%d' "$status" "${statuses[$status]}"; done
printf '\n'
((hangs == 0 && torn == 0))
