#!/bin/bash
# The operator's configuration on the virtual Orvane (run beside it: appliance/run
# -- this). Over telnet, as a service engineer would, the start configuration turns
# the node-network driver off (nodenet=0) and gatex1d.conf scans two meters
# (maxnodes=2). The guest is reset twice: after each reset both edits are still
# there and in effect (gatex2d does not run, gatex1d logs pm_maxnodes=2), the
# system log names both files as kept, and the last-known-good copy takes them.
# Then a program is cut short, as a cut update leaves it: the next reset restores
# it from the copy, and the edits stay.
set -u  # not -e: a failed check is counted and reported, and the run goes on to the next one
# shellcheck source=appliance/lib.sh
. "$APPLIANCE_TOP/appliance/lib.sh"

# boot_log: this boot's lines of the guest's system log (kept on the disk across
# boots) from the init script, orvdrivers and the drivers.
boot_log() {
    # shellcheck disable=SC2016  # the awk program is the guest's, $0 is its record
    guest 'awk "/rcS: boot:/ { b = \"\" } { b = b \$0 \"\\n\" } END { printf \"%s\", b }" /var/log/messages' | tr -d '\r'
}
# The copy is this boot's set once the confirmation after the start has said so.
# shellcheck disable=SC2317  # called through within
copy_settled() { boot_log | grep -q -e 'kept the driver set .* as the last-known-good copy' -e 'the last-known-good copy is this set already'; }
# reset: syncs and resets the guest as the field tools do, then waits (bounded)
# for the next boot, with the drivers the start configuration now enables.
reset() {
    local boots
    boots=$(boots_seen)
    guest -t 15 'sync; echo 0 > /proc/wdt/wdt' >/dev/null 2>&1
    if wait_boot 240 $((boots + 1)); then ok "reset: the guest is up again"; else fail "no reboot after the reset"; return 1; fi
}

within 90 copy_settled || fail "no last-known-good copy after the first boot"

# --- the operator's edits, over telnet ---------------------------------------------------------
guest "sed -i 's/^nodenet=1/nodenet=0/' /etc/orvdrivers.conf &&
    sed -i 's/^maxnodes=8/maxnodes=2/' /home/drivers/gatex/gatex1d.conf && sync" >/dev/null
expect "edited start configuration" '^nodenet=0$' "$(guest 'grep ^nodenet= /etc/orvdrivers.conf' | tr -d '\r')"
expect "edited gatex1d.conf" '^maxnodes=2$' "$(guest 'grep ^maxnodes= /home/drivers/gatex/gatex1d.conf' | tr -d '\r')"
# From now on gatex2d is off: the boot waits for the other two.
boot_ports="1111 1131"

for round in 1 2; do
    reset || break
    log=$(boot_log)
    printf '%s\n' "$log" >"$APPLIANCE_DIR/syslog-reset$round.txt"
    expect "reset $round: the start configuration is kept and named" \
        "configuration of the boot set that differs from the package's is kept: orvdrivers.conf" \
        "$(grep -o 'configuration of the boot set .*' <<<"$log")"
    expect "reset $round: gatex1d.conf is kept and named" \
        "configuration of the driver set that differs from the package's is kept: gatex/gatex1d.conf" \
        "$(grep -o 'configuration of the driver set .*' <<<"$log")"
    expect "reset $round: two drivers from the checked set" '^started 2 driver\(s\) of build .* from the installed set \(checked\)$' \
        "$(grep -o 'started [0-9]* driver(s) .*' <<<"$log")"
    expect "reset $round: gatex1d scans two meters" 'pm_maxnodes=2' "$(grep -o 'pm_maxnodes=[0-9]*' <<<"$log" | tail -n1)"
    expect "reset $round: gatex2d stays off" '^$' "$(gpids gatex2d)"
    # qemu accepts the forwarded port on the host side whatever the guest does: the
    # test is that nothing answers there.
    if answers 1112; then fail "reset $round: something answers on 1112"; else ok "reset $round: nothing answers on 1112"; fi
    expect "reset $round: gatex1d reading" '^\?cmd=get_value&status=OK&val=[0-9.]+$' "$(ask 1111 '?cmd=get_value&node=1&leaf=1&toq=ip')"
    expect "reset $round: the edits are still there" '^nodenet=0 maxnodes=2$' \
        "$(guest 'grep -h -e ^nodenet= -e ^maxnodes= /etc/orvdrivers.conf /home/drivers/gatex/gatex1d.conf' | tr -d '\r' | paste -sd' ')"
    within 90 copy_settled || fail "reset $round: the copy did not settle"
    expect "reset $round: the copy holds the edits" '^nodenet=0 maxnodes=2$' \
        "$(guest 'grep -h -e ^nodenet= -e ^maxnodes= /home/drivers.good/etc/orvdrivers.conf /home/drivers.good/drivers/gatex/gatex1d.conf' | tr -d '\r' | paste -sd' ')"
done

# --- a program cut short: restored, the edits stay ------------------------------------------------
# gatex2d is off, so its program can be written to.
guest 'head -c 4096 /home/drivers/gatex/gatex2d >/tmp/cut && cat /tmp/cut >/home/drivers/gatex/gatex2d && sync' >/dev/null
expect "gatex2d cut short" '^4096$' "$(guest 'wc -c </home/drivers/gatex/gatex2d' | tr -d '\r ')"
if reset; then
    log=$(boot_log)
    printf '%s\n' "$log" >"$APPLIANCE_DIR/syslog-restore.txt"
    expect "the cut program is restored from the copy" 'driver set fails its check \(missing or changed: gatex/gatex2d\): restored the last-known-good copy' \
        "$(grep -o 'the driver set fails its check .*' <<<"$log")"
    expect "gatex2d is whole again" '^same$' \
        "$(guest 'cmp -s /home/drivers/gatex/gatex2d /home/drivers.good/drivers/gatex/gatex2d && echo same' | tr -d '\r')"
    expect "the edits are still there after the restore" '^nodenet=0 maxnodes=2$' \
        "$(guest 'grep -h -e ^nodenet= -e ^maxnodes= /etc/orvdrivers.conf /home/drivers/gatex/gatex1d.conf' | tr -d '\r' | paste -sd' ')"
    expect "gatex2d still off" '^$' "$(gpids gatex2d)"
    expect "gatex1d still scans two meters" 'pm_maxnodes=2' "$(grep -o 'pm_maxnodes=[0-9]*' <<<"$log" | tail -n1)"
fi

if [ $failures = 0 ]; then say "all checks passed"; else say "$failures check(s) failed"; fi
exit $failures
