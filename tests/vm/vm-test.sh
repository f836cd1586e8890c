#!/usr/bin/env bash
# Runs vumo-dfu against vumo-dfu-sim on a real Linux HID stack: boots the distribution's kernel
# in qemu (software emulation) with a small initramfs holding busybox, the hid, uhid and
# hid-generic modules, udevd, our programs and their libraries, runs the named scenarios in it
# and reports what they printed.
#
#   vm-test.sh --vumo-dfu FILE --sim FILE --checksum FILE --sample-image FILE
#              [--limit SECONDS] [--keep] [--figures FILE]
#              [--wine-dfu FILE --wine-checksum FILE] [--wine-layer FILE]
#              [--wine-trace CHANNELS] SCENARIO...
#
# Scenarios: list update update-no-udevd timeout busy full station pacing, or "all". They run one after another
# (also: replay, tests/recordings/update-from-dfu.jsonl played by vumo-dfu-sim --replay)
# in one boot. Opt-in, not part of "all": wine-update, the Windows build (--wine-dfu
# vumo-dfu.exe, --wine-checksum checksum.exe) listing and updating the device through hidraw,
# Wine's HID bus and hid.dll; it shares the host's /usr (Wine) and a Wine prefix made here into
# the machine over virtio-9p; wine-layer, the Windows HID back end alone (--wine-layer
# wine_layer_check.exe): list, mode switch, removal and arrival, READY? and its reply.
# --wine-trace +hid,+setupapi,+plugplay sets WINEDEBUG in the machine and copies the end of
# the trace after the scenario's output. Exit status: 0 all passed, 1 a failure, 77 skipped (qemu or the kernel can't be
# had here) - except under CI=true, where the test must run and a missing piece is a failure.
#
# The kernel and udev packages are fetched with `apt-get download` and unpacked into a cache
# (VUMO_VM_CACHE, default ~/.cache/vumo-dfu/vm): nothing is installed on this machine.
# --figures FILE writes the timings some scenarios report (pacing: the wall time of the same
# update under standard and fast pacing) as "name value" lines, for vumo-bench --vm-figures.
# VUMO_VM_KERNEL_DIR may name an unpacked kernel package instead (boot/vmlinuz-*, lib/modules),
# and VUMO_VM_QEMU another qemu-system-x86_64.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
all_scenarios=(list update update-no-udevd timeout busy full station pacing)
all_scenarios+=(replay)
# Named only: the Windows build under Wine needs the Windows programs and takes minutes.
optin_scenarios=(wine-update wine-layer)
limit=600
keep=0
dfu= sim= checksum= sample= figures= wine_dfu= wine_checksum= wine_layer= wine_trace=-all
scenarios=()

while [ $# -gt 0 ]; do
    case "$1" in
        --vumo-dfu) dfu=$2; shift 2 ;;
        --sim) sim=$2; shift 2 ;;
        --checksum) checksum=$2; shift 2 ;;
        --sample-image) sample=$2; shift 2 ;;
        --limit) limit=$2; shift 2 ;;
        --keep) keep=1; shift ;;
        --figures) figures=$2; shift 2 ;;
        --wine-dfu) wine_dfu=$2; shift 2 ;;
        --wine-checksum) wine_checksum=$2; shift 2 ;;
        --wine-layer) wine_layer=$2; shift 2 ;;
        --wine-trace) wine_trace=$2; shift 2 ;;
        -h|--help) awk 'NR > 1 && /^#/ {sub(/^# ?/, ""); print; next} NR > 1 {exit}' "$0"; exit 0 ;;
        all) scenarios+=("${all_scenarios[@]}"); shift ;;
        -*) echo "vm-test.sh: unknown option $1" >&2; exit 2 ;;
        *) scenarios+=("$1"); shift ;;
    esac
done
[ ${#scenarios[@]} -gt 0 ] || scenarios=("${all_scenarios[@]}")
for s in "${scenarios[@]}"; do
    case " ${all_scenarios[*]} ${optin_scenarios[*]} " in *" $s "*) ;; *) echo "vm-test.sh: unknown scenario $s" >&2; exit 2 ;; esac
done
wine=0
case " ${scenarios[*]} " in *" wine-"*) wine=1 ;; esac

# Can't run here: a skip with the reason, or under CI a failure.
cannot_run() {
    if [ "${CI:-}" = true ]; then
        echo "vm-test.sh: FAILED: $* (CI must run this test)" >&2
        exit 1
    fi
    echo "vm-test.sh: SKIPPED: $*" >&2
    exit 77
}

for f in "$dfu" "$sim" "$checksum" "$sample"; do
    [ -n "$f" ] && [ -x "$f" ] || { echo "vm-test.sh: give --vumo-dfu, --sim, --checksum and --sample-image (built programs)" >&2; exit 2; }
done
case " ${scenarios[*]} " in *" wine-update "*)
    [ -n "$wine_dfu" ] && [ -f "$wine_dfu" ] && [ -n "$wine_checksum" ] && [ -f "$wine_checksum" ] ||
        { echo "vm-test.sh: wine-update needs --wine-dfu and --wine-checksum (the Windows build)" >&2; exit 2; } ;;
esac
case " ${scenarios[*]} " in *" wine-layer "*)
    [ -n "$wine_layer" ] && [ -f "$wine_layer" ] ||
        { echo "vm-test.sh: wine-layer needs --wine-layer (wine_layer_check.exe of the Windows build)" >&2; exit 2; } ;;
esac
if [ "$wine" = 1 ]; then
    [ -x /usr/lib/wine/wine64 ] || cannot_run "Wine is not installed (package wine64)"
fi
qemu=${VUMO_VM_QEMU:-qemu-system-x86_64}
command -v "$qemu" >/dev/null || cannot_run "$qemu is not installed (package qemu-system-x86)"
busybox=$(command -v busybox || true)
[ -n "$busybox" ] && ! ldd "$busybox" >/dev/null 2>&1 ||
    cannot_run "no static busybox (package busybox-static)"
for tool in cpio gzip dpkg-deb apt-get flock; do
    command -v "$tool" >/dev/null || cannot_run "$tool is not installed"
done

# --- kernel and udev, unpacked from Debian's packages into the cache
cache=${VUMO_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vumo-dfu/vm}
mkdir -p "$cache" || cannot_run "can't create the cache $cache"

# Unpacks the newest candidate of PACKAGE into $cache/PACKAGE-VERSION once; prints the folder.
unpack() {
    local package=$1 version dir deb
    version=$(apt-cache policy "$package" 2>/dev/null | awk '/Candidate:/ {print $2}')
    if [ -z "$version" ] || [ "$version" = "(none)" ]; then
        # The package lists may not have been fetched on this machine yet.
        [ "$(id -u)" = 0 ] && apt-get update -qq >/dev/null 2>&1
        version=$(apt-cache policy "$package" 2>/dev/null | awk '/Candidate:/ {print $2}')
    fi
    [ -n "$version" ] && [ "$version" != "(none)" ] || return 1
    dir="$cache/$package-${version//[:~]/_}"
    if [ ! -e "$dir/.done" ]; then
        rm -rf "$dir" "$cache/download"
        mkdir -p "$cache/download"
        (cd "$cache/download" && apt-get download "$package=$version" >/dev/null 2>&1) || return 1
        deb=$(ls "$cache/download"/*.deb 2>/dev/null | head -n 1)
        [ -n "$deb" ] && dpkg-deb -x "$deb" "$dir" || return 1
        rm -rf "$cache/download"
        touch "$dir/.done"
    fi
    echo "$dir"
}

exec 9>"$cache/lock"
flock -w 600 9 || cannot_run "the cache $cache stays locked"
if [ -n "${VUMO_VM_KERNEL_DIR:-}" ]; then
    kernel_dir=$VUMO_VM_KERNEL_DIR
else
    kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    if [ -z "$kernel_package" ] && [ "$(id -u)" = 0 ]; then
        apt-get update -qq >/dev/null 2>&1
        kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null |
            awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    fi
    [ -n "$kernel_package" ] || cannot_run "the package lists name no linux-image-amd64 kernel"
    kernel_dir=$(unpack "$kernel_package") || cannot_run "could not fetch $kernel_package"
fi
udev_dir=$(unpack udev) || cannot_run "could not fetch the udev package"
flock -u 9

vmlinuz=$(ls "$kernel_dir"/boot/vmlinuz-* 2>/dev/null | head -n 1)
[ -n "$vmlinuz" ] || cannot_run "no boot/vmlinuz-* in $kernel_dir"

# --- the initramfs
work=$(mktemp -d "${TMPDIR:-/tmp}/vumo-vm.XXXXXX")
qemu_pid=
cleanup() {
    [ -n "$qemu_pid" ] && kill -KILL "$qemu_pid" 2>/dev/null
    if [ "$keep" = 1 ]; then echo "vm-test.sh: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

root=$work/root
mkdir -p "$root"/{bin,lib/modules,lib/systemd,opt/vumo/bin,images,etc}
cp "$busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
install -m 755 "$here/guest-init.sh" "$root/init"
cp "$here/guest-scenarios.sh" "$root/scenarios.sh"

for module in hid uhid hid-generic; do
    found=$(find "$kernel_dir/lib/modules" -name "$module.ko*" | head -n 1)
    [ -n "$found" ] || cannot_run "$module.ko is not in the kernel package"
    case "$found" in
        *.ko) cp "$found" "$root/lib/modules/$module.ko" ;;
        *.ko.xz) xz -dc "$found" >"$root/lib/modules/$module.ko" ;;
        *.ko.zst) zstd -qdc "$found" >"$root/lib/modules/$module.ko" ;;
        *) cannot_run "can't unpack $found" ;;
    esac
done

# Wine: the host's /usr and a prefix made here come into the machine over virtio-9p, whose
# modules init loads in this order (the package has no modules.dep to order them).
virtfs=()
if [ "$wine" = 1 ]; then
    for module in virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci \
                  netfs fscache 9pnet 9pnet_virtio 9p; do
        found=$(find "$kernel_dir/lib/modules" -name "$module.ko*" | head -n 1)
        [ -n "$found" ] || cannot_run "$module.ko is not in the kernel package"
        case "$found" in
            *.ko) cp "$found" "$root/lib/modules/$module.ko" ;;
            *.ko.xz) xz -dc "$found" >"$root/lib/modules/$module.ko" ;;
            *.ko.zst) zstd -qdc "$found" >"$root/lib/modules/$module.ko" ;;
        esac
        echo "$module" >>"$root/lib/modules/extra.list"
    done
    mkdir -p "$root/opt/vumo/win"
    [ -n "$wine_dfu" ] && cp "$wine_dfu" "$root/opt/vumo/win/vumo-dfu.exe"
    [ -n "$wine_checksum" ] && cp "$wine_checksum" "$root/opt/vumo/win/checksum.exe"
    [ -n "$wine_layer" ] && cp "$wine_layer" "$root/opt/vumo/win/wine_layer_check.exe"
    # The prefix is made once per run, here, where Wine's first start is quick (~13 s): in the
    # machine it would take minutes. Debian's Wine starts only its SDL bus unless told not
    # to, and under emulation its services need far longer than the 30 s it grants them.
    prefix=$work/wine
    export WINEPREFIX=$prefix WINEDEBUG=-all
    wine_started=$(date +%s)
    { timeout 300 /usr/lib/wine/wine64 wineboot -i &&
        timeout 60 /usr/lib/wine/wine64 reg add 'HKLM\System\CurrentControlSet\Services\WineBus' \
            /v 'Enable SDL' /t REG_DWORD /d 0 /f &&
        timeout 60 /usr/lib/wine/wine64 reg add 'HKLM\System\CurrentControlSet\Control' \
            /v ServicesPipeTimeout /t REG_SZ /d 300000 /f &&
        timeout 60 /usr/lib/wine/wineserver64 -w; } >"$work/wineboot.log" 2>&1 ||
        { cat "$work/wineboot.log" >&2; cannot_run "could not make a Wine prefix"; }
    unset WINEPREFIX WINEDEBUG
    echo "vm-test.sh: Wine prefix made in $(($(date +%s) - wine_started)) s"
    virtfs=(-virtfs "local,path=/usr,mount_tag=hostusr,security_model=none,readonly=on"
            -virtfs "local,path=$prefix,mount_tag=wineprefix,security_model=none")
    [ -e /etc/ld.so.cache ] && cp /etc/ld.so.cache "$root/etc/ld.so.cache"
fi

cp "$dfu" "$root/opt/vumo/bin/vumo-dfu"
cp "$sim" "$root/opt/vumo/bin/vumo-dfu-sim"
cp "$checksum" "$root/opt/vumo/bin/checksum"
cp "$udev_dir/bin/udevadm" "$root/bin/udevadm"
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"

# The shared libraries of every program, at the paths the loader looks in.
for program in "$root/opt/vumo/bin/"* "$root/bin/udevadm"; do
    ldd "$program" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}' |
        while read -r lib; do
            mkdir -p "$root$(dirname "$lib")"
            [ -e "$root$lib" ] || cp -L "$lib" "$root$lib"
        done
done

# Images: 40 blocks for most runs, the loader's whole 1024 blocks (the largest file that fits)
# for one. Beside each, what the device must receive: the file zero-filled to its blocks, of
# which there are floor(length / 128) + 1.
make_image() {
    local file=$root/images/$1 length=$2 seed=$3 location=${4:-1}
    "$sample" --location "$location" --size "$length" --seed "$seed" "$file" >/dev/null || return 1
    cp "$file" "$file.blocks" && truncate -s $(((length / 128 + 1) * 128)) "$file.blocks"
}
# The *2 images have location code 2: the upload ends at DFUEND, no restart follows.
make_image short.bin $((40 * 128 - 1)) 8 && make_image full.bin $((1024 * 128 - 1)) 9 &&
    make_image short2.bin $((40 * 128 - 1)) 10 2 && make_image full2.bin $((1024 * 128 - 1)) 11 2 ||
    { echo "vm-test.sh: vumo-sample-image failed" >&2; exit 1; }

# The recorded update for the replay, with the firmware file it was made with, and another
# image of the same size whose blocks the recording does not have.
mkdir -p "$root/recordings"
cp "$here/../recordings/update-from-dfu.jsonl" "$here/../recordings/firmware.bin" "$root/recordings/" &&
    "$sample" --location 1 --size 3000 --seed 77 "$root/recordings/other.bin" >/dev/null ||
    { echo "vm-test.sh: could not put the recording into the machine" >&2; exit 1; }

(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz" ||
    { echo "vm-test.sh: could not pack the initramfs" >&2; exit 1; }

# --- the machine. TCG only: the nested KVM of some hosts stalls a stock kernel.
scenario_list=$(IFS=,; echo "${scenarios[*]}")
echo "vm-test.sh: booting $(basename "$vmlinuz") for: ${scenarios[*]} (limit ${limit} s)"
started=$(date +%s.%N)
# Wine's start in the machine oopses the kernel under plain "-cpu max" (SMAP), and needs
# more memory than the other scenarios.
cpu=max memory=512
[ "$wine" = 1 ] && cpu=max,-smap memory=1536
timeout --kill-after=10 "$limit" "$qemu" \
    -accel tcg -cpu "$cpu" -m "$memory" -smp 1 "${virtfs[@]}" \
    -nodefaults -nographic -monitor none -no-reboot \
    -kernel "$vmlinuz" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 panic=-1 quiet vumo.scenarios=$scenario_list vumo.winedebug=$wine_trace" \
    -serial "file:$work/console.log" -serial "file:$work/channel.log" \
    </dev/null >"$work/qemu.log" 2>&1 &
qemu_pid=$!
wait "$qemu_pid"
qemu_status=$?
qemu_pid=
ended=$(date +%s.%N)

cat "$work/channel.log" 2>/dev/null
echo
wall=$(awk -v a="$started" -v b="$ended" 'BEGIN {printf "%.1f", b - a}')
booted=$(awk '/^=== BOOTED/ {print $3}' "$work/channel.log")
modules=$(awk '/^=== MODULES/ {print $3}' "$work/channel.log")
echo "vm-test.sh: machine ran ${wall} s; kernel up to init ${booted:-?} s, modules loaded at ${modules:-?} s (guest clock)"

if [ -n "$figures" ]; then
    {
        awk '$1 == "===" && $2 == "FIGURE" {print $3, $4}' "$work/channel.log"
        echo "kernel $(basename "$vmlinuz"), qemu TCG"
        echo "date $(date -u '+%Y-%m-%d %H:%M UTC')"
    } >"$figures" && echo "vm-test.sh: figures in $figures"
fi

status=0
if [ "$qemu_status" = 124 ] || [ "$qemu_status" = 137 ]; then
    echo "vm-test.sh: FAILED: the machine did not finish within ${limit} s" >&2
    status=1
elif [ "$qemu_status" != 0 ]; then
    echo "vm-test.sh: FAILED: qemu ended with status $qemu_status" >&2
    cat "$work/qemu.log" >&2
    status=1
fi
for s in "${scenarios[@]}"; do
    result=$(awk -v s="$s" '$1 == "===" && $2 == "RESULT" && $3 == s {print $4, $5}' "$work/channel.log")
    case "$result" in
        PASS*) echo "vm-test.sh: $s passed in ${result#PASS } s" ;;
        FAIL*) echo "vm-test.sh: $s FAILED after ${result#FAIL } s" >&2; status=1 ;;
        *) echo "vm-test.sh: $s did not finish" >&2; status=1 ;;
    esac
done
if [ "$status" != 0 ]; then
    echo "--- end of the kernel console" >&2
    tail -n 40 "$work/console.log" | tr -cd '\11\12\40-\176' >&2
fi
exit "$status"
