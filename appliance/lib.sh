# Shell helpers for commands run beside the virtual Orvane (appliance/run): waits on
# the guest's boot, requests to its drivers. Sourced; needs APPLIANCE_CONSOLE and
# APPLIANCE_QEMU_PID and APPLIANCE_TOP from appliance/run.

# ask PORT REQUEST (one request on a fresh connection, the response line), port_open
# and the ok/fail/expect reporting of the appliance tests.
. "$APPLIANCE_TOP/tests/integration/appliance/checks.sh"

# within SECONDS COMMAND...: true once COMMAND succeeds, tried every half second
# for at most SECONDS (by the clock: a try may itself take seconds).
within() {
    local end=$((SECONDS + $1)); shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -ge $end ] && return 1
        sleep 0.5
    done
}

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
    local steps=("kernel started:Booting Linux" "root file system mounted:initramfs: root file system mounted"
                 "init script done:rcS: boot done")
    : >"$APPLIANCE_DIR/boot.times"
    while :; do
        if ! kill -0 "$APPLIANCE_QEMU_PID" 2>/dev/null; then
            echo "appliance: qemu ended during the boot" >&2; return 1
        fi
        if [ $((SECONDS - t0)) -gt "$limit" ]; then
            echo "appliance: boot $boot not done after $limit s (waiting for: ${steps[$step]%%:*})" >&2
            return 1
        fi
        if [ $step -lt ${#steps[@]} ]; then
            want=${steps[$step]#*:}
            # The step is reached once the console shows it BOOT times.
            if [ "$(grep -c "$want" "$APPLIANCE_CONSOLE" 2>/dev/null)" -ge "$boot" ]; then
                [ "${quiet:-0}" = 1 ] || printf 'appliance: %-26s %3d s\n' "${steps[$step]%%:*}" $((SECONDS - t0)) >&2
                echo "${steps[$step]%%:*} $((SECONDS - t0))" >>"$APPLIANCE_DIR/boot.times"
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
