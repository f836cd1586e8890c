# Scenarios run inside the test machine, sourced by its init. Each one starts vumo-dfu-sim on
# /dev/uhid, runs the real vumo-dfu against it through hidraw, checks what came out and ends
# with "=== RESULT <name> PASS|FAIL <seconds>" on descriptor 3 (the second serial port), the
# output of every command before it. Every command runs under `timeout`, so a hang shows up as
# a failure of its own instead of eating the host's limit for the whole machine.

IMAGES=/images
SIM_LOG=/tmp/sim.log
RECEIVED=/tmp/received.bin
SIM_PID=
UDEVD_PID=
FAILED=0

say() { echo "$*" >&3; }
fail() { say "FAIL: $*"; FAILED=1; }

# Waits up to $2 seconds for the extended regular expression $1 to appear in the simulator's
# log at least $3 times (default 1); gives up at once when the simulator has ended. There is no
# event to wait on from a shell, so it looks every tenth of a second.
wait_log() {
    pattern=$1 limit=$2 count=${3:-1}
    tries=$((limit * 10))
    while [ "$tries" -gt 0 ]; do
        seen=$(grep -cE "$pattern" "$SIM_LOG" 2>/dev/null)
        [ "${seen:-0}" -ge "$count" ] && return 0
        if [ -n "$SIM_PID" ] && ! kill -0 "$SIM_PID" 2>/dev/null; then
            fail "vumo-dfu-sim ended before '$pattern' (x$count) appeared in its log"
            return 1
        fi
        sleep 0.1
        tries=$((tries - 1))
    done
    fail "no '$pattern' (x$count) in the simulator's log within $limit s"
    return 1
}

start_udevd() {
    /lib/systemd/systemd-udevd >/tmp/udevd.log 2>&1 &
    UDEVD_PID=$!
    tries=50
    while [ ! -e /run/udev/control ] && [ "$tries" -gt 0 ]; do sleep 0.1; tries=$((tries - 1)); done
    if [ -e /run/udev/control ]; then
        say "udevd running (pid $UDEVD_PID): the udev monitor source is in use"
    else
        fail "udevd did not start"
        cat /tmp/udevd.log >&3
    fi
}

stop_udevd() {
    [ -n "$UDEVD_PID" ] || return 0
    kill "$UDEVD_PID" 2>/dev/null
    wait "$UDEVD_PID" 2>/dev/null
    UDEVD_PID=
    rm -rf /run/udev
}

start_sim() {
    rm -f "$SIM_LOG" "$RECEIVED"
    say "\$ vumo-dfu-sim $* --save-image $RECEIVED"
    vumo-dfu-sim "$@" --save-image "$RECEIVED" >"$SIM_LOG" 2>&1 &
    SIM_PID=$!
    wait_log 'device(s)? on /dev/uhid' 20
}

stop_sim() {
    [ -n "$SIM_PID" ] || return 0
    kill -TERM "$SIM_PID" 2>/dev/null
    tries=100
    while kill -0 "$SIM_PID" 2>/dev/null && [ "$tries" -gt 0 ]; do sleep 0.1; tries=$((tries - 1)); done
    if kill -0 "$SIM_PID" 2>/dev/null; then
        fail "vumo-dfu-sim did not stop on SIGTERM"
        kill -KILL "$SIM_PID" 2>/dev/null
    fi
    wait "$SIM_PID" 2>/dev/null
    status=$?
    SIM_PID=
    say "--- vumo-dfu-sim log"
    cat "$SIM_LOG" >&3
    # A stop on SIGTERM is a clean end; anything else (a sanitizer's report too) is a fault.
    [ "$status" = 0 ] || fail "vumo-dfu-sim ended with status $status"
}

# run NAME LIMIT COMMAND...: runs the command with its output in /tmp/NAME.out and /tmp/NAME.err,
# its exit status in RC and its wall time in seconds (guest clock) in ELAPSED, and copies all of
# it to the host.
run() {
    name=$1 limit=$2
    shift 2
    say "\$ $*"
    t0=$(cut -d' ' -f1 /proc/uptime)
    timeout "$limit" "$@" >"/tmp/$name.out" 2>"/tmp/$name.err"
    RC=$?
    t1=$(cut -d' ' -f1 /proc/uptime)
    cat "/tmp/$name.out" >&3
    sed 's/^/stderr: /' "/tmp/$name.err" >&3
    ELAPSED=$(echo "$t1 $t0" | awk '{printf "%.2f", $1 - $2}')
    say "exit status $RC after $ELAPSED s"
}

expect_rc() { [ "$RC" = "$1" ] || fail "exit status $RC, expected $1"; }
# expect_text FILE PATTERN: the extended regular expression occurs in the file.
expect_text() { grep -qE "$2" "$1" || fail "no '$2' in $(basename "$1")"; }

# expect_received IMAGE ARRIVALS: the device has come back in application mode after its
# restart (its ARRIVALS-th arrival in that mode), and holds the image. IMAGE.blocks is the file
# as the loader gets it: zero-filled to whole blocks, the last read counting even when empty.
expect_received() {
    wait_log 'arrived in application mode' 30 "$2" || return
    if cmp "$1.blocks" "$RECEIVED" >/dev/null 2>&1; then
        say "received image equals $(basename "$1"), zero-filled to $(wc -c <"$RECEIVED") bytes"
    else
        fail "the received image differs from $(basename "$1")"
    fi
}

scenario_list() {
    start_sim app devices=2 || return
    run list 60 vumo-dfu list
    expect_rc 0
    expect_text /tmp/list.out '^application 0  Vumo Device: VUMO-0001  /dev/hidraw[0-9]+$'
    expect_text /tmp/list.out '^application 1  Vumo Device: VUMO-0002  /dev/hidraw[0-9]+$'
    run list-json 60 vumo-dfu list --json
    expect_rc 0
    expect_text /tmp/list-json.out '"mode": "application", "index": 0, "product": "Vumo Device", "serial": "VUMO-0001", "path": "/dev/hidraw[0-9]+"'
    stop_sim
    # Update mode: the same device under product 2.
    start_sim dfu || return
    run list-dfu 60 vumo-dfu list
    expect_rc 0
    expect_text /tmp/list-dfu.out '^update      0  Vumo Update Loader: VUMO-0001  /dev/hidraw[0-9]+$'
    stop_sim
}

# A whole update from application mode: switch, return as product 2, upload, restart, return as
# product 1.
update_from_application() {
    image=$1
    start_sim app return-delay=500 || return
    run update 240 vumo-dfu update "$IMAGES/$image" --timeout 10
    expect_rc 0
    expect_text /tmp/update.out 'Firmware uploaded\.'
    expect_text "$SIM_LOG" 'VUMO-0001: switch to update mode'
    expect_text "$SIM_LOG" 'arrived in update mode \(product 2, "Vumo Update Loader"\)'
    expect_text "$SIM_LOG" 'VUMO-0001: DFUEND'
    expect_text "$SIM_LOG" 'VUMO-0001: restart'
    expect_received "$IMAGES/$image" 2
    stop_sim
}

scenario_update() {
    start_udevd
    update_from_application short.bin
    stop_udevd
}

# The same without udevd: the program falls back on the kernel's uevents.
scenario_update_no_udevd() {
    update_from_application short.bin
}

scenario_full() {
    start_udevd
    update_from_application full.bin
    stop_udevd
}

# The loader keeps quiet after block 5: the program gives up after --timeout with its message.
scenario_timeout() {
    start_sim dfu silent=IMAGE:5 || return
    run timeout 60 vumo-dfu update "$IMAGES/short.bin" --timeout 2
    expect_rc 7
    expect_text /tmp/timeout.err 'DFU upload time out : [0-9]+'
    stop_sim
}

# While one program updates the device, a second one neither lists nor opens it.
scenario_busy() {
    start_udevd
    start_sim dfu reply-delay=100 || return
    say "\$ vumo-dfu update $IMAGES/short.bin --timeout 10 &"
    timeout 120 vumo-dfu update "$IMAGES/short.bin" --timeout 10 >/tmp/first.out 2>/tmp/first.err &
    first=$!
    wait_log 'VUMO-0001: DFUSTART' 60
    run second 60 vumo-dfu update "$IMAGES/short.bin" --timeout 10
    expect_rc 4
    expect_text /tmp/second.err 'held by another program'
    run list-busy 60 vumo-dfu list
    expect_rc 0
    expect_text /tmp/list-busy.out '^No device found\.$'
    expect_text /tmp/list-busy.err '^1 matching device not listed: held by another program\.$'
    wait "$first"
    RC=$?
    say "--- first program, exit status $RC"
    cat /tmp/first.out >&3
    sed 's/^/stderr: /' /tmp/first.err >&3
    expect_rc 0
    expect_text /tmp/first.out 'Firmware uploaded\.'
    expect_received "$IMAGES/short.bin" 1
    stop_sim
    stop_udevd
}

# A production station: four devices flashed at once through hidraw and udev, each followed by
# its port through its mode switch and restart. Each holds the image, the log has one line per
# device with the file's SHA-256, and every device was seen back in application mode.
scenario_station() {
    start_udevd
    rm -f "$RECEIVED".VUMO-* /tmp/flash.jsonl
    start_sim app devices=4 return-delay=500 || return
    run station 240 vumo-dfu station "$IMAGES/short.bin" --count 4 --log /tmp/flash.jsonl \
        --json --timeout 10
    expect_rc 0
    expect_text /tmp/station.out '^\{"event": "summary", "ok": 4, "failed": 0'
    say "--- flash log"
    cat /tmp/flash.jsonl >&3
    sha=$(sha256sum "$IMAGES/short.bin" | cut -d' ' -f1)
    lines=$(wc -l </tmp/flash.jsonl)
    [ "$lines" = 4 ] || fail "the flash log has $lines lines, expected 4"
    for n in 1 2 3 4; do
        serial=VUMO-000$n
        grep -E "\"serial\": \"$serial\", \"port\": \"[^\"]*sim-$n\", \"mode_at_start\": \"application\"" \
            /tmp/flash.jsonl | grep -F "\"sha256\": \"$sha\"" | grep -qF '"outcome": "ok"' ||
            fail "no ok line for $serial on its own port with the file's sha256 in the flash log"
        expect_text /tmp/station.out "\"event\": \"finished\", \"id\": [0-9], \"serial\": \"$serial\".*\"outcome\": \"ok\""
        if cmp "$IMAGES/short.bin.blocks" "$RECEIVED.$serial" >/dev/null 2>&1; then
            say "$serial received an image equal to short.bin, zero-filled"
        else
            fail "the image $serial received differs from short.bin"
        fi
    done
    # Four arrivals at the start and four returns from the restart.
    wait_log 'arrived in application mode' 30 8
    stop_sim
}

# --- replay: a recorded update played onto the kernel by vumo-dfu-sim --replay

RECORDINGS=/recordings

start_replay() {
    rm -f "$SIM_LOG"
    say "\$ vumo-dfu-sim $*"
    vumo-dfu-sim "$@" >"$SIM_LOG" 2>&1 &
    SIM_PID=$!
    wait_log "the recording's devices are on /dev/uhid" 20
}

# stop_replay STATUS: stops the replaying simulator, which must end with STATUS.
stop_replay() {
    [ -n "$SIM_PID" ] || return 0
    kill -TERM "$SIM_PID" 2>/dev/null
    wait "$SIM_PID" 2>/dev/null
    status=$?
    SIM_PID=
    say "--- vumo-dfu-sim log"
    cat "$SIM_LOG" >&3
    [ "$status" = "$1" ] || fail "vumo-dfu-sim ended with status $status, expected $1"
}

# The recorded host was vumo-dfu on the simulated bus; here it is vumo-dfu on hidraw, and the
# device is what the recording says it did. Then an image the recording does not have: the
# first block differs, the simulator says so and answers nothing, the host times out.
scenario_replay() {
    start_udevd
    recording=$RECORDINGS/update-from-dfu.jsonl
    recorded=$(sed -n 's/.*"e":"end","exit":\([0-9]*\).*/\1/p' "$recording")
    start_replay --replay "$recording" --replay-speed 0 || return
    run replay 120 vumo-dfu update "$RECORDINGS/firmware.bin"
    expect_rc "$recorded"
    expect_text /tmp/replay.out 'Firmware uploaded\.'
    # The update ends once the application is back: the recording is then played out.
    wait_log 'replay: the recording has been played to its end' 20
    expect_text "$SIM_LOG" '^replay: sim:hidraw0 is /dev/hidraw[0-9]+ here$'
    expect_text "$SIM_LOG" '^replay: sim:hidraw1 is /dev/hidraw[0-9]+ here$'
    expect_text "$SIM_LOG" 'VUMO-0001: arrived in application mode'
    stop_replay 0
    expect_text "$SIM_LOG" 'the host wrote every report of the recording'

    start_replay --replay "$recording" --replay-speed 0 || return
    run replay-other 60 vumo-dfu update "$RECORDINGS/other.bin" --timeout 2
    expect_rc 7
    expect_text /tmp/replay-other.err 'DFU upload time out : 0'
    stop_replay 3
    expect_text "$SIM_LOG" '^replay: replay stopped: event [0-9]+ \(line [0-9]+ of .*update-from-dfu\.jsonl\) differs'
    expect_text "$SIM_LOG" '^  expected: sim:hidraw0: 00 00 80 00 10 43'
    expect_text "$SIM_LOG" '^  actual:   sim:hidraw0: 00 00 80 '
    stop_udevd
}

# expect_uploaded IMAGE COUNT: the COUNT-th upload the simulator saw end left IMAGE on the device
# (images of location code 2: no restart follows).
expect_uploaded() {
    wait_log 'upload ended' 30 "$2" || return
    if cmp "$1.blocks" "$RECEIVED" >/dev/null 2>&1; then
        say "received image equals $(basename "$1"), zero-filled to $(wc -c <"$RECEIVED") bytes"
    else
        fail "the received image differs from $(basename "$1")"
    fi
}

# --pacing on the real kernel. The same 1024-block update with standard and with fast pacing,
# one after the other on the same device: both must flash it, and their wall times go to the
# host as figures (the host judges nothing from them). Then a loader that drops reports coming
# sooner than 5 ms after its reply: standard pacing flashes it, fast pacing fails with the hint.
# Last the application-mode path under fast pacing: the READY? probes after the return.
scenario_pacing() {
    start_udevd
    start_sim dfu || return
    run pacing-standard 240 vumo-dfu update "$IMAGES/full2.bin" --pacing standard
    expect_rc 0
    expect_text /tmp/pacing-standard.out 'Firmware uploaded\.'
    expect_uploaded "$IMAGES/full2.bin" 1
    standard=$ELAPSED
    run pacing-fast 240 vumo-dfu update "$IMAGES/full2.bin" --pacing fast
    expect_rc 0
    expect_text /tmp/pacing-fast.out 'Firmware uploaded\.'
    expect_uploaded "$IMAGES/full2.bin" 2
    say "=== FIGURE pacing_standard_s $standard"
    say "=== FIGURE pacing_fast_s $ELAPSED"
    stop_sim

    start_sim dfu min-gap=5 || return
    run gap-standard 60 vumo-dfu update "$IMAGES/short2.bin" --pacing standard --timeout 2
    expect_rc 0
    expect_uploaded "$IMAGES/short2.bin" 1
    run gap-fast 60 vumo-dfu update "$IMAGES/short2.bin" --pacing fast --timeout 2
    expect_rc 7
    expect_text /tmp/gap-fast.err '^  cause: This update used fast pacing: try again with --pacing standard\.$'
    stop_sim

    start_sim app return-delay=1000 || return
    run app-fast 60 vumo-dfu update "$IMAGES/short2.bin" --pacing fast --timeout 5
    expect_rc 0
    expect_text /tmp/app-fast.out 'Firmware uploaded\.'
    expect_text "$SIM_LOG" 'arrived in update mode'
    expect_uploaded "$IMAGES/short2.bin" 1
    stop_sim
    stop_udevd
}

# The Windows build through Wine: hidraw -> Wine's HID bus (winebus.sys, through udev) ->
# hid.dll -> our Windows back end. The host's /usr (Wine) is mounted over the machine's, the
# prefix made on the host at Wine's usual place. vumo.winedebug on the kernel command line
# (vm-test.sh --wine-trace) becomes WINEDEBUG, e.g. +hid,+setupapi,+plugplay; the trace
# reaches the host with each program's stderr.
WINE_TRACE=$(sed -n 's/.*vumo\.winedebug=\([^ ]*\).*/\1/p' /proc/cmdline)
[ -n "$WINE_TRACE" ] || WINE_TRACE=-all
mount_wine() {
    mkdir -p /usr /root/.wine /dev/shm
    mount -t tmpfs tmpfs /dev/shm
    mount -t 9p -o trans=virtio,version=9p2000.L,ro hostusr /usr ||
        { fail "could not mount the host's /usr over virtio-9p"; return 1; }
    mount -t 9p -o trans=virtio,version=9p2000.L wineprefix /root/.wine ||
        { fail "could not mount the Wine prefix over virtio-9p"; return 1; }
    export HOME=/root WINEPREFIX=/root/.wine WINEDEBUG=$WINE_TRACE
    say "Wine $(/usr/lib/wine/wine64 --version 2>/dev/null) from the host, prefix mounted"
}

stop_wine() {
    # Wine's trace, if one was asked for, went to the channel with each program's stderr.
    [ -x /usr/lib/wine/wineserver64 ] && timeout 30 /usr/lib/wine/wineserver64 -k 2>/dev/null
}

scenario_wine_update() {
    mount_wine || return
    # Wine's HID bus learns of hidraw nodes from udev; its own watching of /dev misses a node
    # re-created under the same number, as the device's is after its mode switch.
    start_udevd
    start_sim app return-delay=500 || return
    # One wineserver for the whole scenario, so that Wine's services (its HID bus among them)
    # start once and outlive each program. Its start in the machine takes half a minute.
    wine_t0=$(cut -d' ' -f1 /proc/uptime)
    /usr/lib/wine/wineserver64 -p
    run wine-start 400 /usr/lib/wine/wine64 wineboot
    say "=== FIGURE wine_start_s $ELAPSED"
    # Wine's HID bus lists the hidraw nodes on its own after its start: look a few times.
    tries=6
    while [ "$tries" -gt 0 ]; do
        run wine-list 300 /usr/lib/wine/wine64 /opt/vumo/win/vumo-dfu.exe list
        grep -qE '^application 0  Vumo Device: VUMO-0001  ' /tmp/wine-list.out && break
        tries=$((tries - 1))
        sleep 5
    done
    expect_rc 0
    expect_text /tmp/wine-list.out '^application 0  Vumo Device: VUMO-0001  '
    run wine-update 600 /usr/lib/wine/wine64 /opt/vumo/win/vumo-dfu.exe update 'Z:\images\short.bin' --timeout 10
    expect_rc 0
    expect_text /tmp/wine-update.out 'Firmware uploaded\.'
    expect_text "$SIM_LOG" 'VUMO-0001: switch to update mode'
    expect_text "$SIM_LOG" 'arrived in update mode \(product 2, "Vumo Update Loader"\)'
    expect_text "$SIM_LOG" 'VUMO-0001: DFUEND'
    expect_text "$SIM_LOG" 'VUMO-0001: restart'
    expect_received "$IMAGES/short.bin" 2
    stop_sim
    stop_wine
    say "wine-update: Wine from its start to the device's return took $(echo "$(cut -d' ' -f1 /proc/uptime) $wine_t0" | awk '{printf "%.1f", $1 - $2}') s"
    stop_udevd
}

# The Windows HID back end alone, through Wine: list, mode switch, removal and arrival from the
# device notifications, the update-mode device opened and asked READY?.
scenario_wine_layer() {
    mount_wine || return
    start_udevd
    start_sim app return-delay=500 || return
    /usr/lib/wine/wineserver64 -p
    run wine-start 400 /usr/lib/wine/wine64 wineboot
    say "=== FIGURE wine_start_s $ELAPSED"
    tries=6
    while [ "$tries" -gt 0 ]; do
        run wine-layer 300 /usr/lib/wine/wine64 /opt/vumo/win/wine_layer_check.exe
        grep -q 'ok: the device is listed' /tmp/wine-layer.out && break
        tries=$((tries - 1))
        sleep 5
    done
    expect_rc 0
    expect_text /tmp/wine-layer.out '^all steps passed'
    expect_text "$SIM_LOG" 'VUMO-0001: switch to update mode'
    expect_text "$SIM_LOG" 'arrived in update mode'
    stop_sim
    stop_wine
    stop_udevd
}

run_scenario() {
    FAILED=0
    say "=== BEGIN $1"
    start=$(cut -d' ' -f1 /proc/uptime)
    case "$1" in
        list) scenario_list ;;
        update) scenario_update ;;
        update-no-udevd) scenario_update_no_udevd ;;
        full) scenario_full ;;
        timeout) scenario_timeout ;;
        busy) scenario_busy ;;
        station) scenario_station ;;
        replay) scenario_replay ;;
        pacing) scenario_pacing ;;
        wine-update) scenario_wine_update ;;
        wine-layer) scenario_wine_layer ;;
        *) fail "unknown scenario $1" ;;
    esac
    # Whatever stopped the scenario early, leave nothing running for the next one.
    stop_sim
    stop_udevd
    end=$(cut -d' ' -f1 /proc/uptime)
    verdict=PASS
    [ "$FAILED" = 0 ] || verdict=FAIL
    say "=== RESULT $1 $verdict $(echo "$end $start" | awk '{printf "%.2f", $1 - $2}')"
}
