#!/bin/bash
# Power cuts during the appliance's own repair work at boot: the restore of the
# driver set and of the boot set from the last-known-good copy, the refresh of
# that copy, and the boot that follows a cut update. Each cut must leave sets
# that check at the next boot: it starts every driver from a whole set, checked
# or restored, says so in the system log, and the copy becomes whole again.
#
#   appliance/tests/cut_repair.sh [--one-boot | POINT...]
#
# The points are in cut_repair.points (all of them without arguments; --one-boot
# those whose cut falls in the first boot after the damage). The runs share one
# disk; each run checks the boot of the point before it, then prepares its own:
# the damage to repair (or a cut update), and the boot watcher: init's sysinit
# action becomes cutboot.sh for one boot, which starts cutwatch.sh with the
# point's steps and hands over to rcS in a cgroup the watcher holds; at the last
# step the watcher writes to the console and the cutter (cutter.py) ends qemu
# with SIGKILL. Results in build/appliance/cut-repair/ (table.txt, per run the
# console and the boot's system log).
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
tests=$top/appliance/tests
say() { printf 'cut_repair: %s\n' "$*"; }
failures=0
work=${CUT_REPAIR_DIR:-$top/build/appliance/cut-repair}
# shellcheck source=appliance/tests/cutlib.sh
. "$tests/cutlib.sh"

if [ "${1:-}" != --inside ]; then
    mapfile -t all < <(grep -v -e '^#' -e '^$' "$tests/cut_repair.points")
    chosen=()
    if [ "${1:-}" = --one-boot ]; then
        for p in "${all[@]}"; do [ "$(cut -f2 <<<"$p")" = 1 ] && chosen+=("$p"); done
    elif [ $# -gt 0 ]; then
        for name in "$@"; do
            p=$(printf '%s\n' "${all[@]}" | grep "^$name	") || { say "no point $name"; exit 2; }
            chosen+=("$p")
        done
    else
        chosen=("${all[@]}")
    fi
    need_builds
    rm -rf "$work" && mkdir -p "$work"
    printf '%s\n' "${chosen[@]}" >"$work/points"
    make_packages
    printf 'point|what the watcher saw at the cut|booted|restore at the next boot|power-on to drivers answering|result\n' >"$work/table.txt"
    disk=$work/disk.img
    n=${#chosen[@]}
    t0=$SECONDS
    for i in $(seq 1 $((n + 1))); do
        [ "$i" -le "$n" ] && what="then cut: $(sed -n "${i}p" "$work/points" | cut -f1)" || what="the last check"
        say "boot $i of $((n + 1)), $what"
        "$top/appliance/run" --quiet --keep "$work/boot$i" --disk "$disk" -- "$0" --inside "$i" ||
            failures=$((failures + 1))
        if [ ! -f "$work/boot$i/appliance/booted" ] && [ -f "$work/attempt" ]; then
            # No boot within the wait after the cut: that point failed.
            printf '%s|%s|no boot|-|-|FAIL\n' "$(cut -d'|' -f1 "$work/attempt")" "$(cut -d'|' -f2 "$work/attempt")" >>"$work/table.txt"
            rm -f "$work/attempt"
            say "going on with a fresh disk from the image"
            cp --sparse=always "$top/build/appliance/rootfs.img" "$disk"
        fi
    done
    say "table ($work/table.txt):"
    column -t -s'|' "$work/table.txt" 2>/dev/null || cat "$work/table.txt"
    survived=$(awk -F'|' 'NR > 1 && $6 == "ok"' "$work/table.txt" | wc -l)
    say "$survived of $n cut(s) left sets that check; $((SECONDS - t0)) s in all"
    [ $failures = 0 ] || { say "$failures boot(s) failed (kept in $work)"; exit 1; }
    say "all boots passed"
    exit 0
fi

# ------------------------------------------------------------------ beside the guest
# shellcheck source=appliance/lib.sh
. "$top/appliance/lib.sh"
i=$2
n=$(wc -l <"$work/points")
touch "$APPLIANCE_DIR/booted"

# --- the previous point's outcome ------------------------------------------------------
check_boot
[[ $started != *"(unchecked)"* ]] || fail "the drivers started from an unchecked set: $started"
# The copy, renewed or taken back, checks again (bounded: it is taken after the
# drivers answer), and no half-made copy is left beside it.
within 120 copy_settled || fail "the last-known-good copy not settled within 120 s"
good_is "$mark" || fail "the last-known-good copy is not the set that started [$mark]"
expect "the last-known-good copy matches its manifests" '^whole$' "$(sets_whole /home/drivers.good/drivers /home/drivers.good/etc)"
expect "no copy in the making left" '^$' "$(guest 'ls -d /home/drivers.good.new /home/drivers.good.old 2>/dev/null' | tr -d '\r')"
if [ -f "$work/attempt" ]; then
    IFS='|' read -r pname saw <"$work/attempt"
    # A point whose cut never came proves nothing, whatever this boot shows.
    if [ "$failures" = 0 ] && [ "$saw" != nothing ]; then res=ok; else res=FAIL; fi
    if [ "$res" = ok ]; then ok "after $pname: $started"; else say "FAILED after $pname"; fi
    printf '%s|%s|%s|%s|%s s|%s\n' "$pname" "$saw" "$mark" "${restore:-none}" "$answer_s" "$res" >>"$work/table.txt"
    rm -f "$work/attempt"
fi
[ "$i" -le "$n" ] || exit "$failures"

# --- this point: the damage, the boot watcher, the cut -------------------------------------
IFS=$'\t' read -r -a point < <(sed -n "${i}p" "$work/points")
pname=${point[0]} boots=${point[1]} setup=${point[2]}
steps=("${point[@]:3}")
operator_edits
clear_packages
for f in cutwatch.sh cutboot.sh; do put_file "$tests/$f" "/root/$f" || fail "$f did not reach the guest"; done
# The image's inittab is kept once; cutboot.sh puts it back at the watched boot.
guest '[ -f /root/inittab.orig ] || cp /etc/inittab /root/inittab.orig; chmod +x /root/cutboot.sh' >/dev/null ||
    fail "keeping the inittab"
printf '%s\n' "${steps[@]}" >"$APPLIANCE_DIR/cutsteps"
put_file "$APPLIANCE_DIR/cutsteps" /root/cutsteps || fail "the steps did not reach the guest"
guest "sed 's|^::sysinit:/etc/init.d/rcS\$|::sysinit:/root/cutboot.sh|' /root/inittab.orig >/etc/inittab && grep -q cutboot /etc/inittab && sync" >/dev/null ||
    fail "the watched boot's inittab"
# A cut file as tar leaves it: written anew (the program may be running) and
# renamed over the old one.
halve() { guest "f=$1; head -c \$((\$(stat -c %s \$f) / 2)) \$f >\$f.cut && chmod 755 \$f.cut && mv -f \$f.cut \$f && sync" >/dev/null; }
case $setup in
driver) halve /home/drivers/gatex/gatex1d && expect "$pname: the driver set damaged" '^$' "$(sets_whole /home/drivers /etc)" ;;
boot) halve /etc/init.d/orvdrivers && expect "$pname: the boot set damaged" '^$' "$(sets_whole /home/drivers /etc)" ;;
renames) halve /etc/init.d/orvdrivers && guest 'mv /home/drivers.good /home/drivers.good.old && sync' >/dev/null &&
    expect "$pname: the boot set damaged, the copy between its renames" '^$' "$(sets_whole /home/drivers /etc)" ;;
edit) guest "f=/home/drivers/gatex/gatex1d.conf; { echo '; before $pname'; cat \$f; } >/tmp/conf && cat /tmp/conf >\$f && sync" >/dev/null ;;
esac || fail "$pname: the damage ($setup)"

"$tests/cutter.py" --pid "$APPLIANCE_QEMU_PID" --out "$APPLIANCE_DIR/cut" --mode power --limit 300 \
    --console "$APPLIANCE_CONSOLE" --pattern '^cutwatch: cut' --count 1 >"$APPLIANCE_DIR/cutter.out" 2>&1 &
cpid=$!
within 10 grep -q ready "$APPLIANCE_DIR/cutter.out" || fail "the cutter did not start"
printf '%s|-\n' "$pname" >"$work/attempt"
say "$pname: $setup, then the watched boot"
if [ "$boots" = 1 ]; then
    guest "sh -c \"trap '' HUP; sleep 0.2; reboot\" </dev/null >/dev/null 2>&1 &" >/dev/null || fail "$pname: no reboot"
else
    # An update cut first, where its setup says: the telnet sessions held and
    # synced, the kernel crashed (the next boot runs in the same qemu).
    next_package "$mark"
    orv3_size=$(stat -c %s "$pc/files/home/update_orv3.inc") bt_size=$(stat -c %s "$pc/files/update_bt.inc")
    case $setup in
    orv3) first=("atleast /home/update_orv3.inc $orv3_size" 'hold 3000' 'written /home/drivers/gatex/gatex1d 262144' sync) ;;
    bt) first=("atleast /update_bt.inc $bt_size" 'hold 1000' 'new /etc/init.d/orvdrivers' sync) ;;
    esac
    quoted=$(printf "'%s' " "${first[@]}")
    guest "sh -c \"trap '' HUP TERM; exec sh /root/cutwatch.sh --group telnetd --crash $quoted\" </dev/null >/dev/null 2>&1 &" >/dev/null ||
        fail "$pname: the update's watcher"
    within 10 sh -c "guest 'cat /tmp/cutwatch.pid' | grep -q '[0-9]'" || fail "the update's watcher did not start"
    run_uploader "$APPLIANCE_DIR/uploader.out"
fi
crc=0
wait "$cpid" || crc=$?
if [ $crc != 0 ]; then
    fail "$pname: no cut ($(tail -n 1 "$APPLIANCE_DIR/cutter.out"))"
    kill -KILL "$APPLIANCE_QEMU_PID" 2>/dev/null || true
fi
saw=$(tr -d '\r' <"$APPLIANCE_CONSOLE" | grep -a '^cutwatch: ' | sed 's/^cutwatch: //' | paste -sd';' | sed 's/;/; /g')
[ $crc = 0 ] || saw=
say "$pname: $saw"
printf '%s|%s\n' "$pname" "${saw:-nothing}" >"$work/attempt"
if [ "$boots" != 1 ]; then
    for _ in $(seq 1000); do [ -f "$APPLIANCE_DIR/uploader.out.rc" ] && break; sleep 0.1; done
    [ -f "$APPLIANCE_DIR/uploader.out.rc" ] || fail "$pname: the uploader still runs 100 s after the cut"
fi
exit "$failures"
