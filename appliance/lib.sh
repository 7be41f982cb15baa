# shellcheck shell=bash
# Shell helpers of the project's test scripts (the virtual Orvane's tests, the ARM
# smoke run and the update path end to end, the packaging tests, drvq's test).
# Sourced, by bash. Two groups:
#
#   - the report and the requests, for any test script: say, ok, fail, expect,
#     same, within, port_open, first_line, ask; they need nothing from outside;
#   - the guest, for commands run beside the virtual Orvane (appliance/run):
#     answers, gpids, boots_seen, wait_boot; they need APPLIANCE_CONSOLE,
#     APPLIANCE_QEMU_PID and APPLIANCE_DIR from appliance/run, and its PATH
#     (guest, drvq).
#
# A test counts its failed checks in $failures (fail adds one) and ends with the
# count; ok and fail print one line each.

failures=$((${failures:-0}))

# say TEXT...: one line of the test's report, after the test's name (the script's
# file name without .sh).
say() { local me=${0##*/}; printf '%s: %s\n' "${me%.sh}" "$*"; }
ok() { say "ok: $*"; }
fail() { say "FAIL: $*"; failures=$((failures + 1)); }
# expect WHAT REGEX TEXT: ok when TEXT matches the extended regular expression.
expect() {
    if [[ $3 =~ $2 ]]; then ok "$1: $3"; else fail "$1: got '$3', want /$2/"; fi
}
# same WHAT WANT GOT: ok when GOT is WANT, to the byte.
same() {
    if [ "$2" = "$3" ]; then ok "$1"; else fail "$1: got '$3', want '$2'"; fi
}

# within SECONDS COMMAND...: true once COMMAND succeeds, tried every half second
# for at most SECONDS (by the clock: a try may itself take seconds). COMMAND runs
# in this shell, its output discarded. The one bounded wait of the test scripts.
within() {
    local end=$((SECONDS + $1)); shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -ge $end ] && return 1
        sleep 0.5
    done
}

# port_open PORT: something listens on 127.0.0.1:PORT.
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# first_line FILE: the first line of FILE once it has one (a simulator's device name).
first_line() { within 10 test -s "$1" && head -n1 "$1"; }

# ask PORT REQUEST: one request to the driver on 127.0.0.1:PORT, on a fresh
# connection; prints the response line (meta and trace lines, which begin with "!",
# are skipped unless REQUEST is one).
ask() {
    local port=$1 req=$2 line
    exec 3<>"/dev/tcp/127.0.0.1/$port" || return 1
    printf '%s\r\n' "$req" >&3
    while IFS= read -r -t 30 line <&3; do
        line=${line%$'\r'}
        case "$req$line" in '?'*'!'*) continue ;; esac
        printf '%s\n' "$line"
        break
    done
    exec 3<&- 3>&-
}

# --- the guest ----------------------------------------------------------------------------------
# answers PORT: the driver on PORT answers hello.
answers() { [[ $(ask "$1" '?cmd=hello' 2>/dev/null) == '?cmd=hello&status=OK'* ]]; }

# gpids PROGRAM...: the pids of the programs in the guest, by name.
gpids() { guest pidof "$@" 2>/dev/null | tr -d '\r'; }

# boots_seen: how many times the guest's kernel has started so far.
boots_seen() { grep -c 'Booting Linux' "$APPLIANCE_CONSOLE" 2>/dev/null || true; }

# The image's start configuration enables all three drivers: gatex1d, gatex2d and
# ZR1Communicator.
boot_ports="1111 1112 1131"

# wait_boot SECONDS [BOOT]: waits until boot number BOOT (default: the first) has
# come through the init script and every driver answers hello; prints the progress
# and the time of each step (also kept in $APPLIANCE_DIR/boot.times). Fails when
# the bound passes or qemu ends.
wait_boot() {
    local limit=$1 boot=${2:-1} t0=$SECONDS step=0 port want
    local marks=("kernel started:Booting Linux" "root file system mounted:initramfs: root file system mounted"
                 "init script done:rcS: boot done")
    : >"$APPLIANCE_DIR/boot.times"
    while :; do
        if ! kill -0 "$APPLIANCE_QEMU_PID" 2>/dev/null; then
            echo "appliance: qemu ended during the boot" >&2; return 1
        fi
        if [ $((SECONDS - t0)) -gt "$limit" ]; then
            echo "appliance: boot $boot not done after $limit s (waiting for: ${marks[$step]%%:*})" >&2
            return 1
        fi
        if [ $step -lt ${#marks[@]} ]; then
            want=${marks[$step]#*:}
            # The step is reached once the console shows it BOOT times.
            if [ "$(grep -c "$want" "$APPLIANCE_CONSOLE" 2>/dev/null)" -ge "$boot" ]; then
                [ "${quiet:-0}" = 1 ] || printf 'appliance: %-26s %3d s\n' "${marks[$step]%%:*}" $((SECONDS - t0)) >&2
                echo "${marks[$step]%%:*} $((SECONDS - t0))" >>"$APPLIANCE_DIR/boot.times"
                step=$((step + 1))
                continue
            fi
        else
            local all=1
            for port in $boot_ports; do
                answers "$port" || { all=0; break; }
            done
            if [ $all = 1 ]; then
                [ "${quiet:-0}" = 1 ] || printf 'appliance: %-26s %3d s\n' "drivers answer hello" $((SECONDS - t0)) >&2
                echo "drivers answer $((SECONDS - t0))" >>"$APPLIANCE_DIR/boot.times"
                return 0
            fi
        fi
        sleep 0.5
    done
}

