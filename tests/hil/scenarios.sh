#!/bin/sh
# The scenarios behind the kernel's HID stack, run inside the test VM as its payload: each one
# starts tarv-sim-device on the USB gadget (or uhid), runs the real tarv-updater-cli against it
# through hidapi and hidraw, and leaves what happened in /results/<scenario>/ for the host to
# check: the updater's exit status, its JSON events and messages, how long it took, the device
# side's log and exit status, the flash images, the kernel's log.
P=/payload
R=/results
CLI="$P/tarv-updater-cli"
DEV="$P/tarv-sim-device"
. "$P/params"

now_ms() { awk '{ printf "%d\n", $1 * 1000 }' /proc/uptime; }

say() { echo "hil: $*"; }

# Waits up to 10 s for a hidraw node of the device; prints its name.
wait_hidraw() {
    for _ in $(seq 200); do
        for d in /sys/class/hidraw/hidraw*; do
            if grep -qi "HID_ID=0003:00000416:0000B501" "$d/device/uevent" 2> /dev/null; then
                basename "$d"
                return 0
            fi
        done
        sleep 0.05
    done
    return 1
}

# Several devices read FILE.1, FILE.2, ...: all start from the same flash.
for k in 1 2; do
    ln -sf "$P/flash-in" "/tmp/flash-in.$k"
done
ln -sf "$P/flash-in" /tmp/flash-in

# Starts the device side: start_device SCENARIO ENDPOINT OPTIONS...
start_device() {
    name=$1
    endpoint=$2
    shift 2
    mkdir -p "$R/$name"
    dmesg -c > /dev/null
    "$DEV" "$endpoint" --flash-in /tmp/flash-in --flash-out "$R/$name/flash-out" "$@" \
        > "$R/$name/device.log" 2>&1 &
    dev_pid=$!
    if ! wait_hidraw > "$R/$name/hidraw-before"; then
        say "$name: the device did not appear"
        echo "no hidraw node" >> "$R/$name/device.log"
    fi
}

# Stops the device side and keeps its exit status and the kernel's log.
stop_device() {
    name=$1
    kill -INT "$dev_pid" 2> /dev/null
    wait "$dev_pid"
    echo $? > "$R/$name/device.status"
    dmesg > "$R/$name/dmesg"
}

# Runs the updater: run_cli SCENARIO TAG ARGS..., keeping status, out, err and ms as TAG.*
run_cli() {
    name=$1
    tag=$2
    shift 2
    start=$(now_ms)
    timeout 120 "$CLI" "$@" > "$R/$name/$tag.out" 2> "$R/$name/$tag.err"
    echo $? > "$R/$name/$tag.status"
    echo $(($(now_ms) - start)) > "$R/$name/$tag.ms"
    say "$name: $tag exit $(cat "$R/$name/$tag.status") after $(cat "$R/$name/$tag.ms") ms"
}

say "kernel $(uname -r)"

# A whole update through the gadget: reset, re-enumeration as a new device, reconnection.
start_device full gadget
run_cli full cli update --json "$P/TarvUpdate.Bin"
wait_hidraw > "$R/full/hidraw-after"
stop_device full

# The same through uhid.
start_device uhid uhid
run_cli uhid cli update --json "$P/TarvUpdate.Bin"
stop_device uhid

# A device that already carries the package's versions: the question, declined.
start_device latest gadget --versions "$PACKAGE_VERSIONS"
run_cli latest cli update --json --no "$P/TarvUpdate.Bin"
stop_device latest

# The device leaves the bus in the middle of the map write.
start_device unplug gadget --fault "unplug-after=$UNPLUG_AFTER"
run_cli unplug cli update --json "$P/TarvUpdate.Bin"
stop_device unplug

# A device that stops answering: each read ends by its deadline.
start_device mute gadget --fault never-answer
run_cli mute cli update --json "$P/TarvUpdate.Bin"
stop_device mute

# Two updaters at once: the second finds the device in use while the first writes it (a larger
# package, so that the writes last a few seconds).
start_device inuse gadget
"$CLI" update --json "$P/big/TarvUpdate.Bin" > "$R/inuse/first.out" 2> "$R/inuse/first.err" &
first=$!
for _ in $(seq 400); do
    grep -q '"progress"' "$R/inuse/first.out" 2> /dev/null && break
    sleep 0.05
done
run_cli inuse second update --json "$P/big/TarvUpdate.Bin"
grep -q '"result"' "$R/inuse/first.out" && say "inuse: the first run was over before the second began"
wait "$first"
echo $? > "$R/inuse/first.status"
stop_device inuse

# Continuous mode over two devices, swapped by the simulated operator.
start_device continuous gadget --devices 2
"$CLI" update --continuous --json "$P/TarvUpdate.Bin" > "$R/continuous/cli.out" \
    2> "$R/continuous/cli.err" &
cli=$!
for _ in $(seq 1200); do
    kill -0 "$dev_pid" 2> /dev/null || break
    sleep 0.1
done
wait "$dev_pid"
echo $? > "$R/continuous/device.status"
dev_pid=
sleep 0.5
kill -INT "$cli"
wait "$cli"
echo $? > "$R/continuous/cli.status"
dmesg > "$R/continuous/dmesg"

# The timing of the path: round trips and the data rate of the page writes.
start_device perf gadget --no-pace
timeout 120 "$P/tarv-hil-probe" 200 128 > "$R/perf/probe.out" 2> "$R/perf/probe.err"
echo $? > "$R/perf/probe.status"
cat "$R/perf/probe.out"
stop_device perf

say "done"
exit 0
