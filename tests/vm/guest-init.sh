#!/bin/sh
# PID 1 of the test machine. Mounts the usual file systems, loads the HID modules, runs the
# scenarios named on the kernel command line (vumo.scenarios=a,b,...) and powers off. Everything
# the host needs goes to the second serial port, set raw so that it arrives byte for byte; the
# first one is the kernel's console.

/bin/busybox --install -s /bin
export PATH=/opt/vumo/bin:/bin
mkdir -p /proc /sys /dev /run /tmp
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp

stty -F /dev/ttyS1 raw -echo 2>/dev/null
exec 3>/dev/ttyS1

uptime_s() { cut -d' ' -f1 /proc/uptime; }
echo "=== BOOTED $(uptime_s)" >&3

for module in hid uhid hid-generic; do
    insmod "/lib/modules/$module.ko" 2>&1 >&3 || echo "insmod $module failed" >&3
done
# Whatever a scenario needs beyond HID (virtio-9p for Wine), in the order listed.
if [ -e /lib/modules/extra.list ]; then
    while read -r module; do
        insmod "/lib/modules/$module.ko" 2>&1 >&3 || echo "insmod $module failed" >&3
    done </lib/modules/extra.list
fi
echo "=== MODULES $(uptime_s)" >&3

scenarios=$(sed -n 's/.*vumo\.scenarios=\([^ ]*\).*/\1/p' /proc/cmdline | tr ',' ' ')
. /scenarios.sh
for scenario in $scenarios; do
    run_scenario "$scenario"
done
echo "=== DONE $(uptime_s)" >&3

sync
poweroff -f
# Should power-off fail, ending PID 1 panics the kernel, and panic=-1 with -no-reboot ends qemu.
exit 1
