#!/bin/bash
# Power cuts during an update of the virtual Orvane: each boot checks what the
# previous cut left, then cuts the next update short and powers the guest off
# (qemu ended with SIGKILL, nothing flushed by the guest after that).
#
#   appliance/tests/cut_test.sh
#
# The update is the one the uploader runs (tar xzvf ... -C ...), with the tar
# stream cut at a chosen byte, so every cut point is exact and repeatable:
#   orv3-mid       in the middle of update_orv3.inc's first program
#   orv3-manifest  every driver file new, the driver manifest not yet written
#   bt-mid         update_orv3.inc whole, update_bt.inc cut in its init script
#   whole          both packages whole, power off before the reset
# After each cut the next boot must start every driver (hello and a reading), with
# the build mark old or new as the manifests allow, and the system log must say
# which set started. The runs share one disk (appliance/run --disk).
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
say() { printf 'cut_test: %s\n' "$*"; }
failures=0

if [ "${1:-}" != --inside ]; then
    work=$top/build/appliance/cut-test
    rm -rf "$work" && mkdir -p "$work"
    old=$(tar -xzOf "$top/build/appliance/pkg/update_orv3.inc" drivers/buildmark) || { say "make appliance first"; exit 1; }
    new="cut test $(date -u +%Y-%m-%dT%H:%M:%SZ)"
    "$top/packaging/mkpackage" --inc-only -o "$work/pkg" --mark "$new" >"$work/mkpackage.out" 2>&1 ||
        { cat "$work/mkpackage.out"; exit 1; }
    # Byte offsets in the uncompressed tar streams (GNU tar: "block N:" of each member).
    member_at() { tar -tzvR -f "$1" | awk -v m="$2" '$NF == m { sub(":", "", $2); print $2 * 512; exit }'; }
    g1=$(member_at "$work/pkg/update_orv3.inc" drivers/gatex/gatex1d)
    man=$(member_at "$work/pkg/update_orv3.inc" drivers/MANIFEST)
    init=$(member_at "$work/pkg/update_bt.inc" etc/init.d/orvdrivers)
    # STEP: EXPECTED-MARK SYSLOG-REGEX THEN-CUT ORV3-BYTES BT-BYTES (-1: whole, 0: none)
    steps=(
        "$old|from the installed set \(checked\)|orv3-mid|$((g1 + 512 + 20000))|0"
        "$old|driver set fails its check .*restored|orv3-manifest|$man|0"
        "$old|driver set fails its check .*restored|bt-mid|-1|$((init + 512 + 600))"
        "$new|boot set fails its check .*restored|whole|-1|-1"
        "$new|from the installed set \(checked\)|-|0|0"
    )
    disk=$work/disk.img
    n=0
    for s in "${steps[@]}"; do
        n=$((n + 1))
        say "boot $n: expect build [${s%%|*}], then cut: $(cut -d'|' -f3 <<<"$s")"
        APPLIANCE_CUT_PKG=$work/pkg "$top/appliance/run" --quiet --keep "$work/boot$n" --disk "$disk" -- \
            "$top/appliance/tests/cut_test.sh" --inside "$s" || failures=$((failures + 1))
    done
    [ $failures = 0 ] && say "all boots passed" || say "$failures boot(s) failed (kept in $work)"
    exit $failures
fi

# ------------------------------------------------------------------ beside the guest
. "$top/tests/integration/appliance/checks.sh"
. "$top/appliance/lib.sh"
IFS='|' read -r want_mark want_log cut orv3_bytes bt_bytes <<<"$2"
mark=$(guest 'sed -n "s/^mark //p" /home/drivers/MANIFEST' | tr -d '\r')
[ "$mark" = "$want_mark" ] && ok "build mark: $mark" || fail "build mark [$mark], want [$want_mark]"
[ "$(guest cat /home/drivers/buildmark | tr -d '\r')" = "$mark" ] || fail "buildmark differs from the manifest's mark"
# The log of this boot only (it is kept on the disk across boots).
log=$(guest 'awk "/rcS: boot:/ { b = \"\" } { b = b \$0 \"\\n\" } END { printf \"%s\", b }" /var/log/messages | grep -E "orvdrivers|rcS"' | tr -d '\r')
printf '%s\n' "$log" >"$APPLIANCE_DIR/syslog-boot.txt"
expect "system log: which set started" "$want_log" "$(grep -E "$want_log" <<<"$log" | tail -n 1)"
expect "system log: the start line" 'started 3 driver\(s\) of build' "$(grep 'started 3 driver' <<<"$log")"
expect "gatex1d reading" '^\?cmd=get_value&status=OK&val=[0-9.]+$' "$(ask 1111 '?cmd=get_value&node=1&leaf=1&toq=ip')"
expect "ZR1Communicator hello" '^\?cmd=hello&status=OK' "$(ask 1131 '?cmd=hello')"
[ "$cut" = - ] && exit $failures

# A checked set becomes the fallback for the cut: wait (bounded) for the copy.
if [[ $log == *"(checked)"* ]]; then
    within 90 sh -c "guest 'sed -n \"s/^mark //p\" /home/drivers.good/drivers/MANIFEST' | tr -d '\r' | grep -qxF '$mark'" ||
        fail "no last-known-good copy of [$mark] within 90 s"
fi
python3 - "$APPLIANCE_CUT_PKG" <<'PY' || fail "FTP upload"
import ftplib, sys
f = ftplib.FTP("127.0.0.1", "root", "brolt362", timeout=30)
for local, remote in (("update_orv3.inc", "/home/update_orv3.inc"), ("update_bt.inc", "/update_bt.inc")):
    with open(f"{sys.argv[1]}/{local}", "rb") as fh:
        f.storbinary(f"STOR {remote}", fh)
f.quit()
PY
unpack() {  # unpack PACKAGE FOLDER BYTES: what tar xzvf ... -C FOLDER does, cut at BYTES
    case $3 in
    0) ;;
    -1) echo "cd /root && tar xzvf $1 -C $2 >/dev/null;" ;;
    *) echo "cd /root && gunzip -c $1 | head -c $3 | tar xvf - -C $2 >/dev/null 2>&1;" ;;
    esac
}
guest -t 120 "$(unpack ../home/update_orv3.inc ../home "$orv3_bytes") $(unpack ../update_bt.inc .. "$bt_bytes") sync" >/dev/null ||
    fail "unpacking on the guest"
say "power cut ($cut)"
kill -KILL "$APPLIANCE_QEMU_PID"
for _ in $(seq 100); do kill -0 "$APPLIANCE_QEMU_PID" 2>/dev/null || break; sleep 0.1; done
exit $failures
