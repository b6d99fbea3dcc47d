#!/usr/bin/env bash
# scripts/hil-boot against a stand-in qemu-system-x86_64 on PATH, so the accelerator's choice,
# the fallback from a KVM that opens but boots nothing, and the phase limits are tested on any
# host: /dev/null stands in for a /dev/kvm that opens, a missing path for a host without one.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/boot-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/bin"
# The stand-in: STANDIN_KVM and STANDIN_TCG say how it behaves under each accelerator:
# ok (boots, runs the payload, leaves a status 0 on the results disk and powers off), hang
# (SeaBIOS's last words, then nothing), hang-payload (boots, then the payload never ends).
cat >"$work/bin/qemu-system-x86_64" <<'EOF'
#!/usr/bin/env bash
accel='' disk=''
while (($#)); do
    case $1 in
    -accel) accel=$2; shift ;;
    -drive) disk=${2#file=}; disk=${disk%%,*}; shift ;;
    esac
    shift
done
echo "$accel" >>"$STANDIN_CALLS"
mode=ok
[ "$accel" = kvm ] && mode=${STANDIN_KVM:-ok}
[ "$accel" = tcg ] && mode=${STANDIN_TCG:-ok}
printf 'SeaBIOS (version stand-in)\r\n\033[2JBooting from ROM...\r\n'
[ "$mode" = hang ] && exec sleep 1000
echo "hil-init: up"
echo "hil-init: payload starts 0.5 s after boot, limit 60 s; UDC: dummy_udc.0"
[ "$mode" = hang-payload ] && exec sleep 1000
mkdir -p "$STANDIN_RESULTS" && echo 0 >"$STANDIN_RESULTS/status"
tar -cf "$disk" -C "$STANDIN_RESULTS" .
echo "hil-init: payload exit status 0 after 0.1 s"
EOF
chmod +x "$work/bin/qemu-system-x86_64"
touch "$work/vmlinuz" "$work/initrd"

failures=0 cases=0
# check NAME WANT_STATUS WANT_CALLS WANT_PHASE MAX_SECONDS WANT_LOG ENV...
check() {
    local name=$1 want_status=$2 want_calls=$3 want_phase=$4 max_s=$5 want_log=$6
    shift 6
    cases=$((cases + 1))
    local dir=$work/case$cases
    mkdir -p "$dir"
    : >"$dir/calls"
    local start=$SECONDS status=0
    env PATH="$work/bin:$PATH" STANDIN_CALLS="$dir/calls" STANDIN_RESULTS="$dir/results" \
        TARV_HIL_KVM_PROBE=2 "$@" \
        "$top/scripts/hil-boot" --kernel "$work/vmlinuz" --initrd "$work/initrd" \
        --disk "$dir/disk" --boot-limit 4 --run-limit 3 --phase-file "$dir/phase" \
        2>"$dir/log" || status=$?
    local took=$((SECONDS - start))
    local calls phase
    calls=$(tr '\n' ' ' <"$dir/calls" | sed 's/ $//')
    phase=$(cat "$dir/phase" 2>/dev/null)
    local bad=''
    [ "$status" = "$want_status" ] || bad+=" status $status (want $want_status)"
    [ "$calls" = "$want_calls" ] || bad+=" accelerators '$calls' (want '$want_calls')"
    [ "$phase" = "$want_phase" ] || bad+=" phase '$phase' (want '$want_phase')"
    ((took <= max_s)) || bad+=" took $took s (at most $max_s)"
    grep -q -- "$want_log" "$dir/log" || bad+=" no '$want_log' in the log"
    if [ "$want_status" = 0 ] && ! tar -xOf "$dir/disk" ./status 2>/dev/null | grep -qx 0; then
        bad+=" no results on the disk"
    fi
    if [ -n "$bad" ]; then
        failures=$((failures + 1))
        echo "FAIL $name:$bad"
        sed 's/^/    /' "$dir/log"
    else
        echo "ok   $name ($took s)"
    fi
}

kvm=TARV_HIL_KVM_DEVICE=/dev/null
nokvm=TARV_HIL_KVM_DEVICE=$work/no-kvm
# A KVM that opens but never boots: the guest's silence is noticed and TCG takes over, within the
# probe (2 s here, 25 s in use) and the time to stop the hung VM.
check "auto, KVM opens but boots nothing" 0 "kvm tcg" payload 10 "falling back to TCG" \
    $kvm STANDIN_KVM=hang
check "auto, no KVM device" 0 "tcg" payload 5 "booting (tcg" $nokvm STANDIN_KVM=hang
check "auto, working KVM" 0 "kvm" payload 5 "under kvm and exited with 0" $kvm
check "tcg asked for, KVM opens" 0 "tcg" payload 5 "booting (tcg" $kvm TARV_HIL_ACCEL=tcg
# Asked for by hand, KVM is never second-guessed: a guest that does not boot is a boot timeout.
check "kvm asked for, boots nothing" 124 "kvm" boot 10 "the boot phase ran out of time" \
    $kvm TARV_HIL_ACCEL=kvm STANDIN_KVM=hang
check "kvm asked for, no KVM device" 2 "" "" 2 "does not open" $nokvm TARV_HIL_ACCEL=kvm
check "TCG that hangs in the boot" 124 "tcg" boot 10 "the boot phase ran out of time" \
    $nokvm STANDIN_TCG=hang
check "a payload that never ends" 124 "tcg" payload 10 "the payload phase ran out of time" \
    $nokvm STANDIN_TCG=hang-payload
check "an accelerator that does not exist" 2 "" "" 2 "must be auto, kvm or tcg" \
    TARV_HIL_ACCEL=hvf

echo "$((cases - failures)) passed, $failures failed"
((failures == 0))
