#!/bin/bash
# Smoke run of the appliance build: each ARM daemon under qemu-arm in the rig,
# against the host simulators, answering hello and one real reading over TCP.
#   gatex1d (test twin with the static serial shim) - meterbus-sim on a pty
#   gatex2d                                          - nodegw on 127.0.0.1:1502
#   serlink (test twin) + ZR1Communicator            - sensornet on a pty
# Also checks that the shipped gatex1d is not the twin: on a pty its serial-driver
# query fails (ENOTTY) and it says so in the system log.
# usage (inside tests/rig/rig): arm_smoke.sh EMULATOR ARM_BIN HOST_BIN ZR1_INI
set -u  # not -e: a failed check is counted and reported, and the run goes on to the next one
emu=$1 arm=$(realpath "$2") host=$(realpath "$3") ini=$(realpath "$4")
# shellcheck source=appliance/lib.sh
. "$(dirname "$0")/../lib.sh"
[ -n "${RIG_SYSLOG:-}" ] || { say "needs the appliance rig (tests/rig/rig -- $0 ...)"; exit 77; }
for s in meterbus-sim nodegw sensornet; do
    [ -x "$host/$s" ] || { say "host simulator $host/$s is not built (cmake --build --preset native --target $s); skipping"; exit 77; }
done
for p in shimmed/gatex1d shimmed/serlink gatex1d gatex2d ZR1Communicator; do
    [ -x "$arm/$p" ] || { say "ARM program $arm/$p is not built"; exit 1; }
done

work=${RIG_DIR:-/tmp}/arm_smoke
mkdir -p "$work"
pids=()

# The processes whose command line mentions $1 (qemu-arm runs the ARM program, so
# its command line is "qemu-arm PROGRAM ARGS").
pids_running() {
    local p cmd
    for p in /proc/[0-9]*; do
        cmd=$(tr '\0' ' ' <"$p/cmdline" 2>/dev/null) || continue
        case "$cmd" in *"$1"*) echo "${p#/proc/}" ;; esac
    done
}
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
    local p
    for p in $(pids_running "$arm/") "${pids[@]}"; do kill "$p" 2>/dev/null; done
}
trap cleanup EXIT

# --- gatex1d: two meters on a pty -------------------------------------------
"$host/meterbus-sim" --meter 1:2:1 --meter 2:1:1,2 >"$work/meterbus.out" 2>&1 &
pids+=($!)
dev=$(first_line "$work/meterbus.out") || { fail "meterbus-sim gave no device"; exit 1; }
printf 'port=1111\ndevice=%s\nmaxnodes=3\n' "$dev" >"$work/gatex1d.conf"
ORV_SHIM_LOG=$work/shim-gatex1d.log "$emu" "$arm/shimmed/gatex1d" "$work/gatex1d.conf"
if within 120 port_open 1111; then
    expect "gatex1d hello" '^\?cmd=hello&status=OK$' "$(ask 1111 '?cmd=hello')"
    expect "gatex1d version" '^!V\. OK, gatex1d version:[0-9]' "$(ask 1111 '!V')"
    expect "gatex1d leaves" '^\?cmd=get_leaves&status=OK&val=.*1_1' "$(ask 1111 '?cmd=get_leaves')"
    expect "gatex1d reading" '^\?cmd=get_value&status=OK&val=[0-9.]+$' "$(ask 1111 '?cmd=get_value&node=1&leaf=1&toq=ip')"
    expect "gatex1d serial set-up through the static shim" 'tiocgserial .*result=0' \
        "$(grep -m1 tiocgserial "$work/shim-gatex1d.log" 2>/dev/null)"
else
    fail "gatex1d does not listen on 1111"
fi
if grep -q 'gatex1d\[' "$RIG_SYSLOG"; then ok "gatex1d logs to the system log"; else fail "no gatex1d line in the system log"; fi
for p in $(pids_running "$arm/shimmed/gatex1d"); do kill "$p"; done

# The shipped program on the same kind of line: the serial-driver query fails.
"$host/meterbus-sim" --meter 1:2:1 >"$work/meterbus2.out" 2>&1 &
pids+=($!)
dev=$(first_line "$work/meterbus2.out") || { fail "meterbus-sim gave no device"; exit 1; }
printf 'port=1121\ndevice=%s\nmaxnodes=1\n' "$dev" >"$work/gatex1d-shipped.conf"
"$emu" "$arm/gatex1d" "$work/gatex1d-shipped.conf"
within 20 grep -q 'TIOCGSERIAL) failed' "$RIG_SYSLOG"
expect "shipped gatex1d on a pty" 'TIOCGSERIAL\) failed for errno: 25' \
    "$(grep -m1 'TIOCGSERIAL) failed' "$RIG_SYSLOG")"
for p in $(pids_running "$arm/gatex1d "); do kill "$p"; done

# --- gatex2d: one node gateway ------------------------------------------------
"$host/nodegw" --port 1502 --types 0,3,4 >"$work/nodegw.out" 2>&1 &
pids+=($!)
within 20 port_open 1502 || fail "nodegw does not listen"
printf '[GENERAL]\nport=1112\n[uMARLO]\nmaxnodes=4\n' >"$work/gatex2d.conf"
"$emu" "$arm/gatex2d" "$work/gatex2d.conf"
if within 60 port_open 1112; then
    expect "gatex2d hello" '^\?cmd=hello&status=OK$' "$(ask 1112 '?cmd=hello')"
    expect "gatex2d version" '^!V\. OK, gatex2d version:[0-9]' "$(ask 1112 '!V')"
    expect "gatex2d rescan" '^\?cmd=rescan&status=OK' "$(ask 1112 '?cmd=rescan&node=127.0.0.1:1502&timeout=2000')"
    leaves=$(ask 1112 '?cmd=get_leaves')
    expect "gatex2d leaves" '^\?cmd=get_leaves&status=OK&val=.*D4_1' "$leaves"
    leaf=$(grep -Eo '[0-9A-F]{14}D4_1' <<<"$leaves" | head -n1)
    expect "gatex2d reading" '^\?cmd=get_value&status=OK&val=[0-9.]+&time=20' \
        "$(ask 1112 "?cmd=get_value&node=127.0.0.1:1502&leaf=$leaf&toq=D4_1")"
else
    fail "gatex2d does not listen on 1112"
fi

# --- serlink + ZR1Communicator: two sensor nodes on a pty ----------------------
"$host/sensornet" 1:types=10/10 3:types=20/20 >"$work/sensornet.out" 2>&1 &
pids+=($!)
dev=$(first_line "$work/sensornet.out") || { fail "sensornet gave no device"; exit 1; }
zr=/home/drivers/vexa/zr
mkdir -p "$zr"
sed -e "s#^device=.*#device=$dev#" -e "s#^maxnodes=.*#maxnodes=4#" "$ini" >"$zr/ZR1Communicator.ini"
(cd "$zr" && ORV_SHIM_LOG=$work/shim-serlink.log "$emu" "$arm/shimmed/serlink" >"$work/serlink.out" 2>&1 &
 "$emu" "$arm/ZR1Communicator" >"$work/zr1.out" 2>&1 &)
if within 120 port_open 1131; then
    expect "ZR1Communicator hello" '^\?cmd=hello&status=OK' "$(ask 1131 '?cmd=hello')"
    # The boot scan goes node by node; wait until node 1 is listed.
    for _ in $(seq 60); do
        leaves=$(ask 1131 '?cmd=get_leaves')
        grep -q '00000001C' <<<"$leaves" && break
        sleep 1
    done
    expect "ZR1Communicator leaves" '^\?cmd=get_leaves&status=OK&val=.*000001C0_[0-9]' "$leaves"
    # A leaf name is PPPPPP (hardware address) cc NNNNNN (node) Cq_k (toq, leaf k);
    # the request's node is "ccNNNNNN".
    entry=$(grep -Eo '[0-9A-F]{8}000001C0_[0-9]' <<<"$leaves" | head -n1)
    expect "ZR1Communicator reading" '^\?cmd=get_value&status=OK&val=[0-9]+&time=20' \
        "$(ask 1131 "?cmd=get_value&protocol=C0&node=${entry:6:8}&leaf=${entry:17:1}&toq=${entry:14:4}")"
    expect "serlink serial set-up through the static shim" 'tiocsserial .*port=1 .*result=0' \
        "$(grep -m1 tiocsserial "$work/shim-serlink.log" 2>/dev/null)"
else
    fail "ZR1Communicator does not listen on 1131"
    tail -n 5 "$work/serlink.out" "$work/zr1.out"
    ipcs
    ps -ef
fi

if [ $failures -ne 0 ]; then
    say "$failures check(s) failed; system log:"
    cat "$RIG_SYSLOG"
    exit 1
fi
say "all checks passed"
exit 0
