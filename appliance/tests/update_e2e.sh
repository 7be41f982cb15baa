#!/bin/bash
# The update path end to end, inside the appliance rig.
#
# A test appliance: a root folder served by a real FTP server (pyftpdlib) on
# 127.0.0.1:21 and a real telnet service (busybox telnetd) on 127.0.0.1:23 whose
# shell starts in ROOT/root, so the uploader's "tar ... -C ../home" and "-C .."
# land in ROOT/home and ROOT. ROOT/home is the rig's /home (bound), where the
# daemons live at their appliance paths. The simulators hold the serial lines
# (/dev/ttyUSB0 -> sensornet's pty, /dev/ttyUSB1 -> meterbus-sim's) and the node
# gateway (127.0.0.1:1502).
#
# Old software: the native (x86) builds of the daemons, started by the init script
# with the preloaded serial shim. The update package is made by packaging/mkpackage
# from the ARM build; its serial daemons are the arm tree's test twins (the static
# serial shim linked in, as the lines are ptys); its block is the shipped one. It
# runs under wine on a virtual X display; a typist answers the opening question
# (Yes) and the uploader's prompts in its console window: address 127.0.0.1,
# function 1, reset "y".
# The reset command is only recorded. Then the "reboot": the old daemons are ended
# and the unpacked init script starts the new ARM programs from /home/drivers (ARM
# programs run through a binfmt_misc entry for qemu-arm registered in a private
# user namespace; the host's binfmt_misc is not touched).
#
# Checked: packages uploaded, unpacked and removed; the Windows temporary folder
# gone; the reset command received; the new daemons answer hello, their version and
# a reading. Skips (77) with a message when a piece is not built or not there.
#
# usage: update_e2e.sh TOP ARM_BIN WIN_BIN HOST_BIN HOST_LIB WINE_RUN   (outside the rig)
#   WIN_BIN   the win32 or win64 tree's bin folder (the package is made from it)
#   WINE_RUN  that tree's cmake/wine-run-win32 or -win64 (the prefix's architecture)
set -u  # not -e: a failed check is counted and reported, and the run goes on to the next one
# shellcheck source=appliance/lib.sh
. "$(dirname "$0")/../lib.sh"
skip() { say "$*; skipping"; exit 77; }

if [ "${1:-}" != --inside ]; then
    top=$1
    exec "$top/tests/rig/rig" -- "$0" --inside "$@"
fi
shift
top=$1 arm=$2 win=$3 host=$4 hostlib=$5 wine_run=$6
for f in "$win/orvane3uploader.exe:the Windows uploader (win32 preset, target orvane3uploader)" \
         "$win/pakrelW.exe:the self-extractor (win32 preset, target pakrelW)" \
         "$host/pakrel:the package tool (native preset, target pakrel)" \
         "$host/gatex1d:the native daemons (native preset)" "$host/gatex2d:the native daemons" \
         "$host/ZR1Communicator:the native daemons" "$host/serlink:the native daemons" \
         "$host/meterbus-sim:the simulators (native preset)" "$host/nodegw:the simulators" \
         "$host/sensornet:the simulators" "$hostlib/liborvserialshim.so:the serial shim (native preset)" \
         "$arm/shimmed/gatex1d:the ARM test twins (arm preset)" "$arm/shimmed/serlink:the ARM test twins" \
         "$arm/gatex2d:the ARM daemons (arm preset)" "$arm/ZR1Communicator:the ARM daemons"; do
    [ -e "${f%%:*}" ] || skip "missing ${f%%:*}: ${f#*:}"
done
for c in wine wineserver xvfb-run gcab busybox unshare; do
    command -v $c >/dev/null || skip "$c missing (scripts/install-deps)"
done
python=/usr/bin/python3
$python -c 'import pyftpdlib' 2>/dev/null || skip "python3-pyftpdlib missing"
busybox --list | grep -qx telnetd || skip "busybox without telnetd"
qemu=$(command -v qemu-arm-static) || skip "qemu-arm-static missing"

work=${RIG_DIR:-/tmp}/e2e
root=$work/appliance
mkdir -p "$work" "$root/home" "$root/root" "$root/etc/init.d"
pids=()
prefix=$(dirname "$win")/wineprefix-e2e

# Daemon processes under /home/drivers: the old ones by their program, the new
# ones by the emulator's command line.
daemon_pids() {
    local p cmd
    for p in /proc/[0-9]*; do
        cmd=$(tr '\0' ' ' <"$p/cmdline" 2>/dev/null) || continue
        case "$cmd" in /home/drivers/*|*qemu-arm*/home/drivers/*|./serlink*|./ZR1Communicator*|*qemu-arm*./serlink*|*qemu-arm*./ZR1Communicator*)
            echo "${p#/proc/}" ;; esac
    done
}
end_daemons() {
    local p
    for p in $(daemon_pids); do kill -TERM "$p" 2>/dev/null; done
    for _ in $(seq 50); do [ -z "$(daemon_pids)" ] && return 0; sleep 0.1; done
    for p in $(daemon_pids); do kill -KILL "$p" 2>/dev/null; done
}
cleanup() {
    end_daemons
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    [ -f "$prefix/system.reg" ] && WINEPREFIX=$prefix wineserver -k 2>/dev/null
}
trap cleanup EXIT

# Hello, version and one reading of each daemon; $1 names the generation.
check_daemons() {
    local gen=$1 leaves entry
    expect "$gen gatex1d hello" '^\?cmd=hello&status=OK$' "$(ask 1111 '?cmd=hello')"
    expect "$gen gatex1d version" '^!V\. OK, gatex1d version:' "$(ask 1111 '!V')"
    expect "$gen gatex1d reading" '^\?cmd=get_value&status=OK&val=[0-9.]+$' "$(ask 1111 '?cmd=get_value&node=1&leaf=1&toq=ip')"
    expect "$gen gatex2d hello" '^\?cmd=hello&status=OK$' "$(ask 1112 '?cmd=hello')"
    expect "$gen gatex2d version" '^!V\. OK, gatex2d version:' "$(ask 1112 '!V')"
    ask 1112 '?cmd=rescan&node=127.0.0.1:1502&timeout=2000' >/dev/null
    expect "$gen gatex2d reading" '^\?cmd=get_value&status=OK&val=[0-9.]+&time=' \
        "$(ask 1112 '?cmd=get_value&node=127.0.0.1:1502&leaf=0A0B0C00000001D4_1&toq=D4_1')"
    expect "$gen ZR1Communicator hello" '^\?cmd=hello&status=OK' "$(ask 1131 '?cmd=hello')"
    for _ in $(seq 90); do
        leaves=$(ask 1131 '?cmd=get_leaves'); grep -q '000001C0_' <<<"$leaves" && break; sleep 1
    done
    entry=$(grep -Eo '[0-9A-F]{8}000001C0_[0-9]' <<<"$leaves" | head -n1)
    expect "$gen ZR1Communicator reading" '^\?cmd=get_value&status=OK&val=[0-9]+&time=' \
        "$(ask 1131 "?cmd=get_value&protocol=C0&node=${entry:6:8}&leaf=${entry:17:1}&toq=${entry:14:4}")"
}
wait_daemons() {
    within 180 port_open 1111 || fail "gatex1d does not listen"
    within 60 port_open 1112 || fail "gatex2d does not listen"
    within 200 port_open 1131 || fail "ZR1Communicator does not listen"
}

# --- the package ---------------------------------------------------------------
mkdir -p "$work/armbin"
cp "$arm/shimmed/gatex1d" "$arm/shimmed/serlink" "$arm/gatex2d" "$arm/ZR1Communicator" "$work/armbin/"
"$top/packaging/mkpackage" -o "$work/pkg" --arm-bin "$work/armbin" --win-bin "$win" \
    --pakrel "$host/pakrel" >"$work/mkpackage.out" 2>&1 || { cat "$work/mkpackage.out"; fail "mkpackage"; exit 1; }
pkg=$work/pkg/orvane3_update_1.06.06.exe
ok "package made: $(grep -E '^(title|question|program|wait|crc-check)' "$work/mkpackage.out" | tr '\n' ' ')"
title=$(sed -n 's/^title: //p' "$work/mkpackage.out")

# --- field networks ---------------------------------------------------------------
"$host/meterbus-sim" --meter 1:2:1 --meter 2:1:1,2 >"$work/meterbus.out" 2>&1 & pids+=($!)
"$host/sensornet" 1:types=10/10 3:types=20/20 >"$work/sensornet.out" 2>&1 & pids+=($!)
"$host/nodegw" --port 1502 --types 0,3,4 >"$work/nodegw.out" 2>&1 & pids+=($!)
ln -sf "$(first_line "$work/sensornet.out")" /dev/ttyUSB0
ln -sf "$(first_line "$work/meterbus.out")" /dev/ttyUSB1

# --- the old software ----------------------------------------------------------------
mount --bind /home "$root/home" || skip "cannot bind /home into the appliance root"
g=/home/drivers/gatex z=/home/drivers/vexa/zr
mkdir -p "$g" "$z"
cp "$host/gatex1d" "$host/gatex2d" "$g/"
cp "$top/packaging/appliance/gatex1d.conf" "$top/packaging/appliance/gatex2d.conf" "$g/"
cp "$host/ZR1Communicator" "$host/serlink" "$top/drivers/vexa/zr/ZR1.sh" "$top/drivers/vexa/zr/ZR1Communicator.ini" "$z/"
cp "$top/packaging/appliance/orvdrivers" "$root/etc/init.d/"
cp "$top/packaging/appliance/orvdrivers.conf" "$root/etc/"
LD_PRELOAD=$("$top/tests/rig/preloadable" "$hostlib/liborvserialshim.so") ORV_START_CONF=$root/etc/orvdrivers.conf "$root/etc/init.d/orvdrivers" start
wait_daemons
check_daemons old
old_pids=$(daemon_pids | tr '\n' ' ')
say "old daemons: pids $old_pids"

# --- the appliance's FTP server and telnet service ---------------------------------
"$python" "$top/tests/integration/uploader_ftpd.py" "$root" 21 brolt362 >"$work/ftpd.out" 2>"$work/ftpd.err" & pids+=($!)
cat >"$work/login.sh" <<EOS
#!/bin/sh
rd() { while :; do IFS= read -r v || exit 1; v=\$(printf '%s' "\$v" | tr -d '\\r'); [ -n "\$v" ] && break; done; }
printf 'login: '; rd; user=\$v
printf 'Password: '; rd; pass=\$v
if [ "\$user" != root ] || [ "\$pass" != brolt362 ]; then echo 'Login incorrect'; exit 1; fi
cd '$root/root' || exit 1
while printf '# '; rd; do
  printf '%s\\n' "\$v" >> '$work/commands.log'
  case "\$v" in
    'echo 0 > /proc/wdt/wdt'|reboot) printf '%s\\n' "\$v" >> '$work/reset.log' ;;
    *) sh -c "\$v" 2>&1 ;;
  esac
done
EOS
chmod +x "$work/login.sh"
busybox telnetd -F -p 23 -b 127.0.0.1 -l "$work/login.sh" & pids+=($!)
within 15 port_open 21 || fail "FTP server does not listen"
within 15 port_open 23 || fail "telnet service does not listen"

# --- the package under wine ------------------------------------------------------------
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" ORV_WINEPREFIX=$prefix
if [ ! -f "$prefix/system.reg" ]; then
    say "making the wine prefix $prefix"
    "$wine_run" cmd.exe /c exit >/dev/null || { fail "cannot make the wine prefix $prefix"; exit 1; }
    wineserver -w
fi
# Wine's sockets are made by the wineserver: it must run in this network namespace.
wineserver -f -p & pids+=($!)
temp=$prefix/drive_c/users/$(id -un)/Temp/~$(basename "$pkg")
rm -rf "$temp"
cat >"$work/run-package.sh" <<EOS
#!/bin/bash
# On the virtual display: the package, and the typist for the uploader's console.
mkfifo '$work/typist.in'
'$python' '$top/appliance/tests/console_typist.py' orvane3uploader <'$work/typist.in' >'$work/typist.out' 2>&1 &
exec 7>'$work/typist.in'
'$wine_run' '$pkg' &
w=\$!
step() {  # step CONDITION COMMAND: COMMAND to the typist once CONDITION holds (at most 150 s)
    local n=0
    while ! eval "\$1" >/dev/null 2>&1; do
        n=\$((n + 1)); [ \$n -gt 750 ] && { echo "gave up waiting for: \$1"; return 1; }
        sleep 0.2
    done
    sleep 2; echo "\$2" >&7
}
# The opening question (Yes is its default button), then each of the uploader's
# answers once its prompt is up (input typed ahead would be discarded).
echo "answer $title" >&7
step "[ -d '$temp' ] && ps -e | grep -q orvane3uploader" "type 127.0.0.1"
sleep 2; echo "type 1" >&7
step "grep -q '^rm ../update_bt.inc' '$work/commands.log' && grep -q '^rm ../home/update_orv3.inc' '$work/commands.log'" "type y"
step "[ -s '$work/reset.log' ]" "return"
wait \$w
echo "package exit \$?"
EOS
chmod +x "$work/run-package.sh"
say "running the package under wine"
timeout 300 xvfb-run -a "$work/run-package.sh" >"$work/run-package.out" 2>&1
expect "package run" '^package exit 0$' "$(grep '^package exit' "$work/run-package.out")"
say "telnet commands received:"; sed 's/^/    /' "$work/commands.log" 2>/dev/null

# --- what the update did ------------------------------------------------------------------
if [ -e "$root/home/update_orv3.inc" ]; then fail "update_orv3.inc left on the appliance"; else ok "update_orv3.inc unpacked and removed"; fi
if [ -e "$root/update_bt.inc" ]; then fail "update_bt.inc left on the appliance"; else ok "update_bt.inc unpacked and removed"; fi
if grep -qx 'tar xzvf ../home/update_orv3.inc -C ../home' "$work/commands.log"; then ok "unpack of update_orv3.inc into /home"; else fail "no unpack of update_orv3.inc"; fi
if grep -qx 'tar xzvf ../update_bt.inc -C ..' "$work/commands.log"; then ok "unpack of update_bt.inc into /"; else fail "no unpack of update_bt.inc"; fi
if [ -e "$temp" ]; then fail "the temporary folder $temp is still there"; else ok "the temporary folder on the Windows side is gone"; fi
expect "reset command received" '^echo 0 > /proc/wdt/wdt$' "$(head -n1 "$work/reset.log" 2>/dev/null)"
for f in gatex/gatex1d gatex/gatex2d vexa/zr/ZR1Communicator vexa/zr/serlink; do
    if tar -xzOf "$work/pkg/update_orv3.inc" "drivers/$f" | cmp -s - "/home/drivers/$f" &&
       ! cmp -s "/home/drivers/$f" "$host/${f##*/}"; then
        ok "/home/drivers/$f is the new ARM program"
    else
        fail "/home/drivers/$f was not replaced by the package's program"
    fi
done
if cmp -s "$root/etc/init.d/orvdrivers" "$top/packaging/appliance/orvdrivers"; then ok "init script unpacked"; else fail "init script not unpacked"; fi
# --- the reboot ---------------------------------------------------------------------------
end_daemons
ipcrm -S 1111 2>/dev/null; ipcrm -S 1112 2>/dev/null   # what a power cycle clears
# ARM programs run through qemu-arm: a binfmt_misc entry in a user namespace of
# this test (a private binfmt_misc instance), so the init script and ZR1.sh start
# them by their paths as on the appliance.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00'
mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
# shellcheck disable=SC2016  # the inner shell expands its own arguments
unshare --user --map-root-user --mount sh -c '
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || exit 3
    printf ":orvarm:M::%s:%s:%s:F" "$1" "$2" "$3" >/proc/sys/fs/binfmt_misc/register || exit 3
    ORV_START_CONF=$4/etc/orvdrivers.conf exec "$4/etc/init.d/orvdrivers" start' \
    sh "$magic" "$mask" "$qemu" "$root"
rc=$?
[ $rc = 3 ] && skip "no private binfmt_misc instance in a user namespace (kernel 6.7 or later needed)"
wait_daemons
check_daemons new
new=$(daemon_pids | tr '\n' ' ')
say "new daemons: pids $new"
for p in $new; do
    case " $old_pids " in *" $p "*) fail "old daemon $p still running" ;; esac
done
native=0
for p in $new; do
    cmd=$(tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null) || continue   # a child that has ended
    case "$cmd" in *qemu-arm*) ;; *) native=$((native + 1)); say "not an ARM program: $p $cmd" ;; esac
done
if [ -n "$new" ] && [ $native = 0 ]; then ok "the running daemons are the ARM programs (under qemu-arm)"; else fail "the running daemons are not the ARM programs"; fi
if [ $failures -ne 0 ]; then
    say "$failures check(s) failed"
    cat "$work/run-package.out" "$work/typist.out" 2>/dev/null
    tail -n 30 "$RIG_SYSLOG"
    exit 1
fi
say "all checks passed"
