#!/bin/bash
# Cuts during a field update of the virtual Orvane. The update runs as in the
# field: the uploader sends both packages by FTP, unpacks each over telnet and
# resets the appliance. At a chosen moment the guest loses its power (qemu gets
# SIGKILL: nothing it had not yet written reaches the disk) or its network (qemu is
# frozen: the uploader is left to its own timers, then the power goes too). The
# next boot must start every driver from a whole set, the one installed before or
# the new one, and say in the system log which set started and why. After the last
# cut the update runs again and must complete.
#
#   appliance/tests/cut_update.sh [--small | POINT...]
#
# The points are in cut_update.points (all 20 without arguments: make reliability,
# about half an hour); --small the four of make test. The runs share one disk
# (appliance/run --disk); results in build/appliance/cut/: table.txt (one row per
# cut), and per boot the console, the uploader's output and the boot's system log.
#
# Before each update the operator has edited the configuration files (a comment
# line at their end): each boot must keep an edit it finds in a set whose programs
# check, and an update brings the package's files. Each update installs a package
# whose programs differ from the installed ones (cutlib.sh, make_packages), so a
# mixture of old and new files is a real mixture.
#
# How a cut lands where the point says: the guest's watcher (cutwatch.sh, copied
# into the guest by FTP) waits for each step in turn and then writes to the
# console, where the cutter (cutter.py) ends or freezes qemu at once; console
# points are seen by the cutter itself.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
tests=$top/appliance/tests
say() { printf 'cut_update: %s\n' "$*"; }
failures=0
work=$top/build/appliance/cut
# shellcheck source=appliance/tests/cutlib.sh
. "$tests/cutlib.sh"
small=(bt-tar-script orv3-tar-gatex1d orv3-upload-lost reset-requested)

if [ "${1:-}" != --inside ]; then
    mapfile -t all < <(grep -v -e '^#' -e '^$' "$tests/cut_update.points")
    if [ "${1:-}" = --small ]; then
        names=("${small[@]}")
    elif [ $# -gt 0 ]; then
        names=("$@")
    else
        names=()
        for p in "${all[@]}"; do names+=("${p%%	*}"); done
    fi
    need_builds
    rm -rf "$work" && mkdir -p "$work"
    : >"$work/points"
    for name in "${names[@]}"; do
        printf '%s\n' "${all[@]}" | grep "^$name	" >>"$work/points" || { say "no point $name"; exit 2; }
    done
    make_packages
    # The uploader takes the folder's entries in the order the file system gives
    # them; the points are laid out for update_bt.inc first.
    # shellcheck disable=SC2012 # ls -U: the directory's own order
    first=$(ls -U "$work/pc-A/files" | head -n 1)
    echo "$first" >"$work/first"
    [ "$first" = update_bt.inc ] ||
        say "note: this file system lists $first first: the uploader sends update_orv3.inc first, so a cut in update_bt.inc may find the new driver set"
    printf 'point|trigger|uploader|booted|restore|power-on to drivers answering\n' >"$work/table.txt"
    n=$(wc -l <"$work/points")
    disk=$work/disk.img
    t0=$SECONDS
    for i in $(seq 1 $((n + 1))); do
        if [ "$i" -le "$n" ]; then what="then cut: $(sed -n "${i}p" "$work/points" | cut -f1)"; else what="then the whole update"; fi
        say "boot $i of $((n + 1)), $what"
        "$top/appliance/run" --quiet --keep "$work/boot$i" --disk "$disk" -- "$0" --inside "$i" ||
            failures=$((failures + 1))
    done
    survived=$(awk -F'|' 'NR > 1 && $4 !~ /FAIL/ && $1 != "update again"' "$work/table.txt" | wc -l)
    say "table ($work/table.txt):"
    column -t -s'|' "$work/table.txt" 2>/dev/null || cat "$work/table.txt"
    say "$survived of $n cut(s) survived; $((SECONDS - t0)) s in all"
    [ $failures = 0 ] || { say "$failures boot(s) failed (kept in $work)"; exit 1; }
    say "all boots passed"
    exit 0
fi

# ------------------------------------------------------------------ beside the guest
# shellcheck source=appliance/lib.sh
. "$top/appliance/lib.sh"
i=$2
n=$(wc -l <"$work/points")

# --- what this boot started, and the previous cut's outcome ------------------------------
check_boot
if [ -f "$work/attempt" ]; then
    IFS='|' read -r pname before after boots cutinfo ending <"$work/attempt"
    case "$mark" in
    "$before") booted=before ;;
    "$after") booted=after ;;
    *) booted="neither [$mark]" ;;
    esac
    case "$boots:$booted" in
    before:before | after:after | either:before | either:after) ok "after $pname the $booted set started: $started" ;;
    *) fail "after $pname: the $booted set started, want $boots"; booted="$booted FAIL" ;;
    esac
    [ $failures = 0 ] || booted="${booted% FAIL} FAIL"
    printf '%s|%s|%s|%s|%s|%s s\n' "$pname" "$cutinfo" "$ending" "$booted" "${restore:-none}" "$answer_s" >>"$work/table.txt"
    rm -f "$work/attempt"
fi

# --- the next update: the package whose mark is not installed --------------------------------
next_package "$mark"
out=$APPLIANCE_DIR/uploader.out

if [ "$i" -gt "$n" ]; then
    # After the last cut: the whole update, which must complete and start the new set.
    say "the update again, to [$target]"
    operator_edits
    failures_before=$failures
    boots=$(boots_seen) t=$SECONDS
    run_uploader "$out"
    wait "$upid"
    expect "uploader: transfer completed and reset sent" '^14 24$' "$(ending)"
    expect "uploader exit status" '^0$' "$(cat "$out.rc")"
    if wait_boot 240 $((boots + 1)); then ok "rebooted, drivers answer ($((SECONDS - t)) s from the uploader's start)"; else fail "no reboot after the update"; fi
    expect "the new set runs" "^${target//./\\.}\$" "$(manifest_mark /home/drivers/MANIFEST)"
    expect "system log after the update" 'from the installed set \(checked\)' "$(boot_log | grep -o 'started 3 .*')"
    expect "gatex1d reading after the update" '^\?cmd=get_value&status=OK' "$(ask 1111 '?cmd=get_value&node=1&leaf=1&toq=ip')"
    expect "ZR1Communicator after the update" '^\?cmd=hello&status=OK' "$(ask 1131 '?cmd=hello')"
    expect "the update brought the package's configuration" '^package package package package$' "$(conf_state)"
    [ $failures = "$failures_before" ] && res=after || res=FAIL
    printf 'update again|-|%s|%s|-|%s s to drivers answering\n' "$(ending)" "$res" "$((SECONDS - t))" >>"$work/table.txt"
    exit $failures
fi

IFS=$'\t' read -r -a point < <(sed -n "${i}p" "$work/points")
pname=${point[0]} mode=${point[1]} slow=${point[2]} boots=${point[3]} uploader=${point[4]}
trigger=("${point[@]:5}")
# With update_orv3.inc sent first, its whole unpack comes before any bt point.
[ "$(cat "$work/first")" != update_bt.inc ] && [[ $pname == bt-* ]] && boots=either
# The next cut falls back on the last-known-good copy, which a checked set becomes
# once its drivers answer: wait (bounded) until that is over.
within 120 copy_settled || fail "the last-known-good copy not settled within 120 s"
good_is "$mark" || fail "no last-known-good copy of [$mark]"
# The operator's edits are in place when the update begins (after the copy was
# taken: a set restored from it gets the copy's configuration).
operator_edits
clear_packages

bt_size=$(stat -c %s "$pc/files/update_bt.inc") orv3_size=$(stat -c %s "$pc/files/home/update_orv3.inc")
cutter=(--pid "$APPLIANCE_QEMU_PID" --out "$APPLIANCE_DIR/cut" --mode "$mode" --limit 240 --console "$APPLIANCE_CONSOLE")
if [ "${trigger[0]}" = console ]; then
    pattern=${trigger[1]}
    cutter+=(--pattern "$pattern" --count $(($(grep -c -- "$pattern" "$APPLIANCE_CONSOLE" || true) + 1)))
else
    steps=()
    for s in "${trigger[@]}"; do
        case $s in
        *' BT') s="${s% BT} $bt_size" ;;
        *' ORV3') s="${s% ORV3} $orv3_size" ;;
        *' ORV3/2') s="${s% ORV3/2} $((orv3_size / 2))" ;;
        *' ORV3/4') s="${s% ORV3/4} $((orv3_size / 4))" ;;
        esac
        steps+=("$s")
    done
    cutter+=(--pattern '^cutwatch: cut' --count 1)
fi
"$tests/cutter.py" "${cutter[@]}" >"$APPLIANCE_DIR/cutter.out" 2>&1 &
cpid=$!
within 10 grep -q ready "$APPLIANCE_DIR/cutter.out" || fail "the cutter did not start"

if [ -n "${steps+x}" ]; then
    # The watcher: busybox sh in the guest, deaf to the hangup of the telnet
    # session that starts it and to the shutdown's SIGTERM, holding the telnet
    # sessions (a cgroup of telnetd's) where a step says "hold".
    put_file "$tests/cutwatch.sh" /root/cutwatch.sh || fail "the watcher did not reach the guest"
    quoted=$(printf "'%s' " "${steps[@]}")
    guest "sh -c \"trap '' HUP TERM; exec sh /root/cutwatch.sh --group telnetd $quoted\" </dev/null >/dev/null 2>&1 &" >/dev/null ||
        fail "starting the watcher"
    within 10 sh -c "guest 'cat /tmp/cutwatch.pid' | grep -q '[0-9]'" || fail "the watcher did not start"
fi

if [ "$slow" != - ]; then
    # Only the uploader's data to the FTP server's passive ports (40000-40015).
    { tc qdisc add dev lo root handle 1: htb default 20 &&
      tc class add dev lo parent 1: classid 1:10 htb rate "$slow" burst 2k cburst 2k quantum 1514 &&
      tc class add dev lo parent 1: classid 1:20 htb rate 10gbit quantum 60000 &&
      tc filter add dev lo parent 1: protocol ip prio 1 u32 match ip dport 40000 0xfff0 flowid 1:10; } ||
        fail "slowing the line with tc"
fi
say "update to [$target], cut: $pname ($mode)"
printf '%s|%s|%s|%s|-|-\n' "$pname" "$mark" "$target" "$boots" >"$work/attempt"
run_uploader "$out"
crc=0
wait "$cpid" || crc=$?
if [ $crc != 0 ]; then
    fail "$pname: no cut ($(tail -n 1 "$APPLIANCE_DIR/cutter.out"))"
    kill -KILL "$APPLIANCE_QEMU_PID" 2>/dev/null || true
fi
{ read -r cut_at _ <"$APPLIANCE_DIR/cut"; } 2>/dev/null || cut_at=$EPOCHREALTIME
if [ -n "${steps+x}" ]; then
    cutinfo=$(tr -d '\r' <"$APPLIANCE_CONSOLE" | sed -n 's/^cutwatch: cut //p' | tail -n 1)
else
    cutinfo="console \"$pattern\""
fi
say "cut ($mode): $cutinfo"
# How long the uploader may take after the cut: at once when the appliance is
# gone (its connections are refused or closed); when the network is lost, its
# FTP wait (60 s) or its session timer (90 s from the session's connect).
[ "$mode" = network ] && bound=100 || bound=20
for _ in $(seq $((bound * 10))); do [ -f "$out.rc" ] && break; sleep 0.1; done
end=$EPOCHREALTIME
[ "$mode" != network ] || kill -KILL "$APPLIANCE_QEMU_PID" 2>/dev/null || true
if [ ! -f "$out.rc" ]; then
    fail "$pname: the uploader still runs $bound s after the cut"
    kill -- "$upid" 2>/dev/null || true
    wait "$upid" 2>/dev/null || true
fi
after_cut=$(awk -v a="$cut_at" -v b="$end" 'BEGIN { printf "%.0f", b - a }')
e=$(ending)
expect "$pname: uploader exit status" '^0$' "$(cat "$out.rc" 2>/dev/null)"
has 2 || fail "$pname: the uploader did not reach its exit prompt"
case "$uploader:$e" in
failed:7 | failed:12 | failed:13 | failed:27 | failed:28 | failed:23 | failed:39 | failed:40 | \
either:7 | either:12 | either:13 | either:27 | either:28 | either:23 | either:39 | either:40 | \
either:"14 24" | either:"14 27" | either:"14 28" | either:"14 29" | \
reset:"14 24" | reset:"14 29" | reset:"14 30")
    ok "$pname: the uploader ended with message(s) $e" ;;
*) fail "$pname: the uploader ended with message(s) $e, want $uploader" ;;
esac
if has 25 && ! has 14; then fail "$pname: a reset question after a failed transfer"; fi
if [ "$mode" = network ]; then
    # Cut off without a word from the appliance: the uploader's own timers end it.
    case "$e" in
    13) expect "$pname: FTP wait timed out" 'PutFile エラー; コード: 12002' "$(tr -d '\r' <"$out" | grep 'PutFile エラー' || true)"
        [ "$after_cut" -le 65 ] || fail "$pname: the uploader ended $after_cut s after the cut (its FTP wait is 60 s)" ;;
    40) if [ "$after_cut" -le 92 ]; then ok "$pname: the unpack session's timer ended it, $after_cut s after the cut"
        else fail "$pname: the uploader ended $after_cut s after the cut (its session timer is 90 s)"; fi ;;
    *) fail "$pname: after the network went the uploader ended with $e" ;;
    esac
fi
ending_text="$e, ${after_cut} s after the cut"
[ "$uploader" = reset ] && ending_text=$e
printf '%s|%s|%s|%s|%s|%s\n' "$pname" "$mark" "$target" "$boots" "$mode: $cutinfo" "$ending_text" >"$work/attempt"
cp "$out" "$work/uploader-$i-$pname.out"
for _ in $(seq 100); do kill -0 "$APPLIANCE_QEMU_PID" 2>/dev/null || break; sleep 0.1; done
exit $failures
