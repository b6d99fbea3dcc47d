#!/bin/sh
# Payload for scripts/hil-vm (copied as DIR/run) that proves the VM's kernel path with no program
# of ours: a configfs HID gadget that looks like our device, bound to dummy_hcd's UDC, shows up as
# a hidraw node on the VM's own USB host; reports go both ways and match byte for byte; the node
# goes away on unbind and comes back on bind. Exits 0 only when every check holds.
#
#   mkdir -p /tmp/smoke && cp tests/hil/vm-smoke.sh /tmp/smoke/run
#   scripts/hil-vm --payload /tmp/smoke --out /tmp/smoke-out

# The report bytes are octal escapes that printf expands, so they stand in its format string;
# the names listed from sysfs and /dev are plain.
# shellcheck disable=SC2059,SC2012

failures=0
pass() { echo "PASS: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# waits up to $1 tenths of a second for the command after it to succeed
wait_for() {
    n=$1
    shift
    while ! "$@"; do
        [ "$n" -gt 0 ] || return 1
        n=$((n - 1))
        sleep 0.1
    done
}
hex() { od -An -tx1 -v "$1" | tr -s ' \n' ' '; }

echo "kernel: $(uname -r)"

# The hidraw node whose HID device has our vendor and product; sets $hidraw (e.g. hidraw0).
find_hidraw() {
    hidraw=
    for d in /sys/class/hidraw/hidraw*; do
        [ -e "$d/device/uevent" ] || continue
        if grep -qi '^HID_ID=0003:00000416:0000B501$' "$d/device/uevent"; then
            hidraw=${d##*/}
            [ -c "/dev/$hidraw" ] && return 0
        fi
    done
    return 1
}
no_hidraw() { ! find_hidraw; }

# Vendor-defined page, one 64-byte input and one 64-byte output report, no report IDs: the shape
# of our device's interface.
descriptor='\006\000\377\011\001\241\001\025\000\046\377\000\165\010'
descriptor=$descriptor'\225\100\011\001\201\002\225\100\011\001\221\002\300'

g=/sys/kernel/config/usb_gadget/g1
echo "creating gadget $g"
mkdir "$g" || { echo "FAIL: cannot create the gadget (is configfs mounted?)"; exit 1; }
echo 0x0416 >"$g/idVendor"
echo 0xb501 >"$g/idProduct"
echo 0x0100 >"$g/bcdDevice"
echo 0x0200 >"$g/bcdUSB"
mkdir "$g/strings/0x409"
echo "hil-smoke-0001" >"$g/strings/0x409/serialnumber"
echo "hil-vm" >"$g/strings/0x409/manufacturer"
echo "hil smoke gadget" >"$g/strings/0x409/product"
mkdir "$g/configs/c.1" "$g/configs/c.1/strings/0x409"
echo "hid" >"$g/configs/c.1/strings/0x409/configuration"
echo 100 >"$g/configs/c.1/MaxPower"
f=$g/functions/hid.usb0
mkdir "$f"
echo 0 >"$f/protocol"
echo 0 >"$f/subclass"
echo 64 >"$f/report_length"
printf "$descriptor" >"$f/report_desc"
ln -s "$f" "$g/configs/c.1/"

udc=$(ls /sys/class/udc | head -n 1)
[ -n "$udc" ] || { echo "FAIL: no UDC in /sys/class/udc"; exit 1; }
echo "binding to $udc"
echo "$udc" >"$g/UDC"

if wait_for 50 test -c /dev/hidg0; then pass "/dev/hidg0 is there"; else fail "no /dev/hidg0"; fi
if wait_for 100 find_hidraw; then
    pass "/dev/$hidraw belongs to 0416:b501"
else
    fail "no hidraw node for 0416:b501"
    ls -l /sys/class/hidraw/ /dev/hidraw* 2>&1
    dmesg | tail -n 30
    exit 1
fi
first=$hidraw
# The HID device's sysfs name carries an instance number, which tells a re-enumeration apart.
first_dev=$(readlink -f "/sys/class/hidraw/$hidraw/device")
echo "--- /sys/class/hidraw/$hidraw/device/uevent"
cat "/sys/class/hidraw/$hidraw/device/uevent"
echo "---"

# The host side must see exactly the descriptor the gadget serves.
printf "$descriptor" >/tmp/desc
if cmp -s /tmp/desc "/sys/class/hidraw/$hidraw/device/report_descriptor"; then
    pass "report descriptor on the host matches ($(wc -c </tmp/desc) bytes)"
else
    fail "report descriptor differs: $(hex "/sys/class/hidraw/$hidraw/device/report_descriptor")"
fi

# Two different 64-byte patterns, so that a report echoed back the wrong way cannot pass.
i=0
out='' in=''
while [ $i -lt 64 ]; do
    out=$out$(printf '\\%03o' $(((i * 7 + 1) % 256)))
    in=$in$(printf '\\%03o' $((255 - i * 3)))
    i=$((i + 1))
done
printf "$out" >/tmp/out64
{ printf '\000'; cat /tmp/out64; } >/tmp/out65
printf "$in" >/tmp/in64

# host -> device: report ID 0 and 64 bytes into hidraw, 64 bytes out of hidg0. The reader starts
# first and asks for more than a report, so a stray report ID byte would show in the length.
exchange_out() {
    rm -f /tmp/got-hidg
    timeout 5 dd if=/dev/hidg0 of=/tmp/got-hidg bs=256 count=1 2>/dev/null &
    reader=$!
    sleep 0.3
    if ! timeout 5 dd if=/tmp/out65 of="/dev/$hidraw" bs=65 count=1 2>/dev/null; then
        fail "writing 65 bytes to /dev/$hidraw"
    fi
    wait $reader
    got=$(wc -c </tmp/got-hidg 2>/dev/null || echo 0)
    if cmp -s /tmp/out64 /tmp/got-hidg; then
        pass "hidraw -> hidg0: 65 bytes written, the 64 after the report ID arrived ($1)"
    else
        fail "hidraw -> hidg0 ($1): read $got bytes: $(hex /tmp/got-hidg)"
    fi
}

# device -> host: 64 bytes into hidg0, out of hidraw.
exchange_in() {
    rm -f /tmp/got-hidraw
    timeout 5 dd if="/dev/$hidraw" of=/tmp/got-hidraw bs=256 count=1 2>/dev/null &
    reader=$!
    sleep 0.3
    if ! timeout 5 dd if=/tmp/in64 of=/dev/hidg0 bs=64 count=1 2>/dev/null; then
        fail "writing 64 bytes to /dev/hidg0"
    fi
    wait $reader
    got=$(wc -c </tmp/got-hidraw 2>/dev/null || echo 0)
    if cmp -s /tmp/in64 /tmp/got-hidraw; then
        pass "hidg0 -> hidraw: 64 bytes written, the same 64 read with no report ID ($1)"
    else
        fail "hidg0 -> hidraw ($1): read $got bytes: $(hex /tmp/got-hidraw)"
    fi
}

exchange_out "first bind"
exchange_in "first bind"

echo "unbinding"
echo "" >"$g/UDC"
if wait_for 50 no_hidraw; then
    left=$(ls /dev/hidraw* 2>/dev/null | tr '\n' ' ')
    pass "the hidraw node went away (/dev/hidraw* now: ${left:-none})"
else
    fail "/dev/$hidraw is still there after unbind"
fi
[ -e /dev/hidg0 ] && echo "note: /dev/hidg0 stays while unbound" || echo "note: /dev/hidg0 goes while unbound"

echo "binding to $udc again"
echo "$udc" >"$g/UDC"
if wait_for 100 find_hidraw && wait_for 50 test -c /dev/hidg0; then
    pass "/dev/$hidraw is back (was /dev/$first)"
    echo "HID device was ${first_dev##*/}, now $(readlink -f "/sys/class/hidraw/$hidraw/device" | sed 's|.*/||')"
    exchange_out "after rebind"
    exchange_in "after rebind"
else
    fail "no hidraw node after binding again"
fi

echo "$failures check(s) failed"
[ "$failures" -eq 0 ]
