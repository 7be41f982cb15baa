#!/bin/bash
# The shipped drivers on the virtual Orvane (run beside it: appliance/run -- this).
#
#   - hello, the leaf list and one real reading of each driver, with drvq;
#   - inside the guest: each serial daemon's line is a /dev/ttyUSB* device of the
#     ftdi_sio driver with the line settings the daemon asked for (8O1 meters, 7E1
#     sensor network), no daemon runs with LD_PRELOAD;
#   - gatex2d reaches a gateway by a name from the guest's /etc/hosts;
#   - the reset file refuses anything but "0"; wrong passwords are refused at the
#     FTP and telnet logins;
#   - hup and kill requests, and ZR1.sh restart and stop, on the real system.
# shellcheck disable=SC2015  # ok only prints: fail runs only when the check before it failed
# shellcheck disable=SC2016  # the single-quoted commands expand in the guest's shell
# shellcheck disable=SC2020  # tr turns both the blank and the ';' into line ends
set -u  # not -e: a failed check is counted and reported, and the run goes on to the next one
# shellcheck source=appliance/lib.sh
. "$APPLIANCE_TOP/appliance/lib.sh"


# --- readings through drvq --------------------------------------------------------------------
for d in gatex1:gatex1d gatex2:gatex2d zr:ZR1Communicator; do
    expect "${d#*:} hello (drvq)" 'status=OK' "$(drvq --${d%%:*} '?cmd=hello' 2>&1)"
done
expect "gatex1d leaves" '^gatex1d 1_1_w3' "$(drvq --gatex1 leaves 2>&1 | head -n1)"
expect "gatex1d reading (meter 1 on ttyUSB1)" 'status=OK&val=[0-9.]+' "$(drvq --gatex1 '?cmd=get_value&node=1&leaf=1&toq=ip' 2>&1)"

# A gateway by its name in the guest's /etc/hosts ("nodegw", the host side) and by
# its dotted address.
expect "gatex2d rescan by host name" '^\?cmd=rescan&status=OK' "$(ask 1112 '?cmd=rescan&node=nodegw:1502&timeout=3000')"
leaves=$(drvq --gatex2 leaves 2>&1)
leaf=$(grep -Eo '[0-9A-F]{14}D4_1' <<<"$leaves" | head -n1)
expect "gatex2d leaves" '^[0-9A-F]{14}D4_1$' "$leaf"
expect "gatex2d reading by host name" '^\?cmd=get_value&status=OK&val=[0-9.]+&time=20' \
    "$(ask 1112 "?cmd=get_value&node=nodegw:1502&leaf=$leaf&toq=D4_1")"
expect "gatex2d reading by address" '^\?cmd=get_value&status=OK&val=[0-9.]+&time=20' \
    "$(ask 1112 "?cmd=get_value&node=10.0.2.2:1502&leaf=$leaf&toq=D4_1")"
expect "gatex2d unknown host" '^\?cmd=rescan&status=E' "$(ask 1112 '?cmd=rescan&node=nosuchgw:1502&timeout=1000')"

zleaves=$(drvq --zr leaves 2>&1)
entry=$(grep -Eo '[0-9A-F]{8}000001C0_[0-9]' <<<"$zleaves" | head -n1)
expect "ZR1Communicator leaves (node 1 on ttyUSB0)" '000001C0_1$' "$entry"
expect "ZR1Communicator reading" '^\?cmd=get_value&status=OK&val=[0-9]+&time=20' \
    "$(ask 1131 "?cmd=get_value&protocol=C0&node=${entry:6:8}&leaf=${entry:17:1}&toq=${entry:14:4}")"

# --- the serial lines inside the guest ----------------------------------------------------------
driver() { guest "basename \$(readlink /sys/class/tty/$1/device/driver)" | tr -d '\r'; }
expect "ttyUSB0's driver" '^ftdi_sio$' "$(driver ttyUSB0)"
expect "ttyUSB1's driver" '^ftdi_sio$' "$(driver ttyUSB1)"
# serlink opens its line for each exchange with a node and closes it after; a
# reading is over in a few milliseconds. A rescan of node 5, where no node answers,
# holds the line for serlink's whole receive wait: ask for one from inside the guest
# and look at serlink's descriptors while it runs (up to 20 rescans).
spid=$(gpids serlink)
zreq='?cmd=rescan&node=5'
serlink_line() {
    guest "i=0
    while [ \$i -lt 20 ]; do
        printf '$zreq\\r\\n' | nc -w 10 127.0.0.1 1131 >/dev/null &
        n=0
        while [ \$n -lt 500 ]; do
            l=\$(ls -l /proc/$spid/fd 2>/dev/null | grep -o '/dev/ttyUSB[0-9]*')
            [ -n \"\$l\" ] && { echo \"\$l\"; i=20; break; }
            n=\$((n + 1))
        done
        wait
        i=\$((i + 1))
    done" | grep -o '/dev/ttyUSB[0-9]*' | sort -u | paste -sd' '
}
expect "serlink's line" '^/dev/ttyUSB0$' "$(serlink_line)"
# What the driver holds for the line (busybox stty on the device), sorted.
line_settings() {
    guest "stty -F $1 -a" | tr ' ;' '\n\n' | grep -E '^-?(parenb|parodd|cstopb)$|^cs[5-8]$' | LC_ALL=C sort | paste -sd' '
}
expect "ttyUSB0 as serlink set it (7E1)" '^-cstopb -parodd cs7 parenb$' "$(line_settings /dev/ttyUSB0)"
# gatex1d opens its line for each exchange: slow the meters down (within its 500 ms
# answer time), ask
# from inside the guest, and look at gatex1d's descriptors and the line while the
# exchange runs.
echo "delay 300" >"$APPLIANCE_DIR/meterbus.ctl"
seen=$(guest 'printf "?cmd=get_value&node=1&leaf=1&toq=ip\r\n" | nc -w 5 127.0.0.1 1111 >/tmp/slow.out &
    n=0
    while [ $n -lt 2000 ]; do
        for p in $(pidof gatex1d); do
            l=$(ls -l /proc/$p/fd 2>/dev/null | grep -o "/dev/ttyUSB[0-9]*")
            [ -n "$l" ] && { echo "$l"; stty -F /dev/ttyUSB1 -a; n=2000; break; }
        done
        n=$((n + 1))
    done
    wait; cat /tmp/slow.out')
echo "delay 0" >"$APPLIANCE_DIR/meterbus.ctl"
expect "gatex1d's line during an exchange" '^/dev/ttyUSB1$' "$(head -n1 <<<"$seen")"
expect "ttyUSB1 as gatex1d set it (8O1)" '^-cstopb cs8 parenb parodd$' \
    "$(tr ' ;' '\n\n' <<<"$seen" | grep -E '^-?(parenb|parodd|cstopb)$|^cs[5-8]$' | LC_ALL=C sort | paste -sd' ')"
expect "the slow reading" 'status=OK&val=' "$(grep -a 'cmd=get_value' <<<"$seen")"

preload=$(guest 'for p in $(pidof gatex1d gatex2d serlink ZR1Communicator); do tr "\0" "\n" </proc/$p/environ | grep -c ^LD_PRELOAD=; done' | tr -d '\r' | sort -u | paste -sd' ')
expect "no daemon runs with LD_PRELOAD" '^0$' "$preload"
expect "the drivers are the packages' programs" '^4$' \
    "$(guest 'ls /home/drivers/gatex/gatex1d /home/drivers/gatex/gatex2d /home/drivers/vexa/zr/serlink /home/drivers/vexa/zr/ZR1Communicator | wc -l' | tr -d '\r ')"

# --- refusals -------------------------------------------------------------------------------------
expect "the reset file refuses 1" 'Invalid argument' "$(guest 'echo 1 > /proc/wdt/wdt' 2>&1)"
guest -p wrongpass true >/dev/null 2>&1; rc=$?
expect "telnet login with a wrong password refused" '^255$' "$rc"
ftp_login() {
    python3 - "$1" <<'EOF'
import ftplib, sys
try:
    f = ftplib.FTP()
    f.connect("127.0.0.1", 21, timeout=20)
    print(f.login("root", sys.argv[1]).split()[0])
    f.set_pasv(True)
    print(len(f.nlst("/home/drivers")) > 0)
    f.quit()
except ftplib.all_errors as e:
    print(str(e).split()[0])
EOF
}
expect "FTP login, passive listing" '^230 True$' "$(ftp_login brolt362 | paste -sd' ')"
expect "FTP login with a wrong password refused" '^530$' "$(ftp_login wrongpass | head -n1)"

# --- hup and kill ----------------------------------------------------------------------------------
changed() { local now; now=$(gpids "$1"); [ -n "$now" ] && [ "$now" != "$2" ]; }
gone() { [ -z "$(gpids "$@")" ]; }

old=$(gpids gatex1d)
expect "gatex1d hup" '^\?cmd=hup&status=OK' "$(ask 1111 '?cmd=hup')"
within 120 changed gatex1d "$old" && within 120 answers 1111 &&
    ok "gatex1d restarted by hup and answers (pids $old -> $(gpids gatex1d))" || fail "gatex1d after hup (pids $old -> $(gpids gatex1d))"

sold=$(gpids serlink) zold=$(gpids ZR1Communicator)
expect "ZR1Communicator hup (ZR1.sh restart)" '^\?cmd=hup&status=OK' "$(ask 1131 '?cmd=hup')"
within 60 changed serlink "$sold" && within 60 answers 1131 &&
    ok "serlink and ZR1Communicator restarted by hup ($sold/$zold -> $(gpids serlink)/$(gpids ZR1Communicator))" ||
    fail "sensor network after hup ($sold/$zold -> $(gpids serlink)/$(gpids ZR1Communicator))"

expect "ZR1Communicator kill (ZR1.sh stop)" '^\?cmd=kill&status=OK' "$(ask 1131 '?cmd=kill')"
within 30 gone serlink ZR1Communicator && ok "kill stopped serlink and ZR1Communicator" ||
    fail "left after kill: $(gpids serlink ZR1Communicator)"

guest '/home/drivers/vexa/zr/ZR1.sh start' >/dev/null
within 60 answers 1131 && ok "ZR1.sh start: the sensor network answers" || fail "ZR1.sh start"
s1=$(gpids serlink)
guest '/home/drivers/vexa/zr/ZR1.sh restart' >/dev/null
within 60 answers 1131 && changed serlink "$s1" && ok "ZR1.sh restart (serlink $s1 -> $(gpids serlink))" ||
    fail "ZR1.sh restart (serlink $s1 -> $(gpids serlink))"
guest '/home/drivers/vexa/zr/ZR1.sh stop' >/dev/null
# ZR1.sh stop returns once its processes have ended; one that has ended is still
# listed by name until it is reaped, a moment later.
within 10 gone serlink ZR1Communicator && ok "ZR1.sh stop" || fail "left after ZR1.sh stop: $(gpids serlink ZR1Communicator)"

expect "gatex1d kill" '^\?cmd=kill&status=OK' "$(ask 1111 '?cmd=kill')"
expect "gatex2d kill" '^\?cmd=kill&status=OK' "$(ask 1112 '?cmd=kill')"
within 30 gone gatex1d gatex2d && ok "gatex1d and gatex2d ended" || fail "left after kill: $(gpids gatex1d gatex2d)"
expect "gatex1d's exit in the system log" 'gatex1d\[[0-9]+\]: exited' "$(guest 'grep "gatex1d\[" /var/log/messages | tail -n 1')"

if [ $failures -ne 0 ]; then
    say "$failures check(s) failed; the guest's system log:"
    guest 'tail -n 60 /var/log/messages'
    exit 1
fi
say "all checks passed"
