#!/bin/bash
# Random cuts during field updates of the virtual Orvane, reproducible by a seed.
#
#   appliance/tests/cut_random.sh [--seed S] [--rounds N] [--first F] [--length SECONDS]
#
# --first F runs rounds F to N of the plan of N rounds (the plan is the same for
# every F): two runs of one seed, 1 to N/2 and N/2+1 to N beside each other with
# their own CUT_RANDOM_DIR, make one campaign in half the time.
# First a whole update, timed from the uploader's start to every driver answering
# after its reset (the update's length L; --length fixes it instead, to repeat a
# run's moments exactly). Then N rounds (default 20): each picks from the seed a
# moment uniformly within 1.1 x L after the uploader's start and a kind of cut:
#   power    (7 rounds in 10) qemu gets SIGKILL
#   network  (2 in 10) qemu is frozen (SIGSTOP) and killed once the uploader ended
#   reboot   (1 in 10) a clean reboot from inside the guest (busybox reboot)
# Each next boot is checked as cut_update.sh checks (cutlib.sh, check_boot): every
# driver answers hello and a reading, the build mark is the old or the new set's
# and both sets match their manifests, the system log names the set that started,
# the operator's edited configuration is in place. The uploader must end within
# its timers (20 s after a power cut, 100 s after a lost network or a reboot: its
# FTP wait is 60 s, its unpack session's timer 90 s), at its exit prompt, with a
# failure message or the transfer completed, and it must never report the
# transfer completed (message 14) unless the guest had finished the update (a
# watcher in the guest, cutwatch.sh --trace, writes each step to the console)
# before the cut. The packages A and B alternate. After the last round the update
# runs once more and must complete and start the new set.
#
# A guest that does not come back within the boot wait (APPLIANCE_BOOT_WAIT,
# 240 s) fails its round, keeps its console's last lines, and the campaign goes on
# from the disk as it was before that round's update (snapshot taken with qemu's
# machine stopped). Results in build/appliance/cut-random/: plan.txt, table.txt,
# per run the console, the uploader's output and the boot's system log.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
say() { printf 'cut_random: %s\n' "$*"; }
failures=0
work=${CUT_RANDOM_DIR:-$top/build/appliance/cut-random}
# shellcheck source=appliance/tests/cutlib.sh
. "$top/appliance/tests/cutlib.sh"

if [ "${1:-}" != --inside ]; then
    seed='' rounds=20 length='' first=1
    while [ $# -gt 0 ]; do
        case "$1" in
        --seed) seed=$2; shift 2 ;;
        --rounds) rounds=$2; shift 2 ;;
        --length) length=$2; shift 2 ;;
        --first) first=$2; shift 2 ;;
        *) say "usage: cut_random.sh [--seed S] [--rounds N] [--first F] [--length SECONDS]"; exit 2 ;;
        esac
    done
    [ -n "$seed" ] || seed=$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')
    case $first in ''|*[!0-9]*|0) say "--first wants a round number from 1"; exit 2 ;; esac
    say "seed $seed, $rounds round(s)$([ "$first" = 1 ] || echo ", from round $first")"
    need_builds
    rm -rf "$work" && mkdir -p "$work"
    echo "$seed" >"$work/seed"
    # The plan: per round the moment as a share of 1.1 x L, and the kind.
    python3 - "$seed" "$rounds" >"$work/plan.txt" <<'EOF'
import random, sys
r = random.Random(int(sys.argv[1]))
for i in range(1, int(sys.argv[2]) + 1):
    u, k = r.random(), r.random()
    print(i, f"{u:.6f}", "power" if k < 0.7 else "network" if k < 0.9 else "reboot")
EOF
    make_packages
    printf 'round|kind|moment|update at the cut|uploader|booted|restore|power-on to drivers|result\n' >"$work/table.txt"
    disk=$work/disk.img
    cp --sparse=always "$top/build/appliance/rootfs.img" "$disk"
    t0=$SECONDS
    run() {  # run NAME ARGS: one boot beside the guest; 0 when it booted (its checks counted apart)
        local rc
        "$top/appliance/run" --quiet --keep "$work/$1" --disk "$disk" -- "$0" --inside "$@" 2>&1 | tee "$work/$1.log"
        rc=${PIPESTATUS[0]}
        if [ ! -f "$work/$1/appliance/booted" ]; then
            say "$1: the guest did not come back within the boot wait (console's last lines above, and in $work/$1.log)"
            return 1
        fi
        [ "$rc" = 0 ] || failures=$((failures + 1))
        if [ -f "$work/$1/appliance/bad" ]; then
            lastgood
        fi
        return 0
    }
    lastgood() {
        if [ -f "$work/good.img" ]; then
            say "going on with a fresh disk from the last good state (before the last round's update)"
            cp --sparse=always "$work/good.img" "$disk"
        else
            say "going on with a fresh disk from the image"
            cp --sparse=always "$top/build/appliance/rootfs.img" "$disk"
        fi
    }
    say "the whole update, to measure its length"
    run measure || { say "the first boot failed"; exit 1; }
    [ -f "$work/length" ] || { say "the measuring update did not complete"; exit 1; }
    say "the update takes $(cat "$work/length") s from the uploader's start to every driver answering${length:+; moments use --length $length}"
    [ -z "$length" ] || echo "$length" >"$work/length"
    i=$first lost=0
    while [ "$i" -le "$rounds" ]; do
        read -r _ u kind < <(sed -n "${i}p" "$work/plan.txt")
        say "round $i of $rounds: $kind at ${u} x 1.1 x L"
        if run "round$i" "$i"; then
            lost=0
            i=$((i + 1))
            continue
        fi
        # The cut before this boot lost the guest: that round failed.
        failures=$((failures + 1))
        if [ -f "$work/attempt" ]; then
            IFS='|' read -r r k m _ _ ending _ phase <"$work/attempt"
            say "FAILED round $r (seed $(cat "$work/seed"), moment $m s, kind $k): no boot within the wait"
            printf '%s|%s|%s s|%s|%s|no boot|-|-|FAIL\n' "$r" "$k" "$m" "$phase" "$ending" >>"$work/table.txt"
            rm -f "$work/attempt"
        fi
        lost=$((lost + 1))
        [ $lost -lt 2 ] || { say "two boots in a row failed: the campaign stops"; break; }
        lastgood
    done
    say "the update again, after the last round"
    run final final || failures=$((failures + 1))
    say "table ($work/table.txt):"
    column -t -s'|' "$work/table.txt" 2>/dev/null || cat "$work/table.txt"
    awk -F'|' 'NR > 1 && $1 != "final" { n[$2]++; if ($9 == "ok") s[$2]++; b[$6]++; r[$7]++ }
        END { for (k in n) printf "cut_random: %s: %d of %d survived\n", k, s[k], n[k]
              for (k in b) printf "cut_random: booted %s: %d\n", k, b[k]
              for (k in r) printf "cut_random: restore %s: %d\n", k, r[k] }' "$work/table.txt"
    awk -F'|' 'NR > 1 && $8 ~ /^[0-9]+ s$/ { print $8 + 0 }' "$work/table.txt" | sort -n |
        awk '{ v[NR] = $1 } END { if (NR) printf "cut_random: power-on to drivers answering: median %s s, worst %s s (%d boots)\n", (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2), v[NR], NR }'
    say "seed $(cat "$work/seed"): $((SECONDS - t0)) s in all"
    [ $failures = 0 ] || { say "$failures failure(s) (kept in $work)"; exit 1; }
    say "all rounds passed"
    exit 0
fi

# ------------------------------------------------------------------ beside the guest
# shellcheck source=appliance/lib.sh
. "$top/appliance/lib.sh"
what=${3:-$2}   # measure, final or the round's number
touch "$APPLIANCE_DIR/booted"
seed=$(cat "$work/seed")

# result_row: the outcome of the attempt in $work/attempt, after this boot's checks.
result_row() {
    local r k m before after ending uverdict phase booted res=ok
    IFS='|' read -r r k m before after ending uverdict phase <"$work/attempt"
    case "$mark" in
    "$before") booted=old ;;
    "$after") booted=new ;;
    *) booted="neither [$mark]"; fail "round $r: neither the old nor the new set started" ;;
    esac
    [ "$uverdict" = ok ] || res=FAIL
    [ "$failures" = 0 ] || res=FAIL
    if [ $res = ok ]; then
        ok "round $r ($k at $m s): the $booted set started: $started"
    else
        say "FAILED round $r (seed $seed, moment $m s, kind $k)"
    fi
    printf '%s|%s|%s s|%s|%s|%s|%s|%s s|%s\n' "$r" "$k" "$m" "$phase" "$ending" "$booted" "${restore:-none}" \
        "$answer_s" "$res" >>"$work/table.txt"
    rm -f "$work/attempt"
}

check_boot
[ -f "$work/attempt" ] && result_row
if [ "$failures" != 0 ]; then
    # A boot that fails its checks is no state to go on from.
    say "this boot failed its checks: the next round starts from the last good state"
    touch "$APPLIANCE_DIR/bad"
    exit "$failures"
fi

# The next cut falls back on the last-known-good copy, which a checked set
# becomes once its drivers answer: wait (bounded) until it is this set, then the
# operator's edits, then the disk as the last good state.
within 120 copy_settled || fail "the last-known-good copy not settled within 120 s"
good_is "$mark" || fail "the last-known-good copy is not the set that started [$mark]"
operator_edits
clear_packages
snapshot_disk "$work/good.img" || fail "no snapshot of the disk"
next_package "$mark"
put_file "$top/appliance/tests/cutwatch.sh" /root/cutwatch.sh || fail "the watcher did not reach the guest"
out=$APPLIANCE_DIR/uploader.out

# The update's steps as the guest sees them, in the order the uploader sends
# the packages (the folder's entries as the file system lists them).
bt=('exists /update_bt.inc' 'new /etc/orvdrivers.manifest' 'gone /update_bt.inc')
orv3=('exists /home/update_orv3.inc' 'new /home/drivers/MANIFEST' 'gone /home/update_orv3.inc')
# shellcheck disable=SC2012 # ls -U: the directory's own order
if [ "$(ls -U "$pc/files" | head -n 1)" = update_bt.inc ]; then steps=("${bt[@]}" "${orv3[@]}"); else steps=("${orv3[@]}" "${bt[@]}"); fi
quoted=$(printf "'%s' " "${steps[@]}")
guest "sh -c \"trap '' HUP TERM; exec sh /root/cutwatch.sh --trace $quoted\" </dev/null >/dev/null 2>&1 &" >/dev/null ||
    fail "starting the watcher"
within 10 sh -c "guest 'cat /tmp/cutwatch.pid' | grep -q '[0-9]'" || fail "the watcher did not start"

if [ "$what" = measure ] || [ "$what" = final ]; then
    say "the whole update, to [$target]"
    boots=$(boots_seen)
    t=$EPOCHREALTIME
    run_uploader "$out"
    wait "$upid"
    expect "uploader: transfer completed and reset sent" '^14 24$' "$(ending)"
    expect "uploader exit status" '^0$' "$(cat "$out.rc")"
    if wait_boot 240 $((boots + 1)); then
        len=$(awk -v a="$t" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }')
        ok "rebooted, drivers answer ($len s from the uploader's start)"
    else
        fail "no reboot after the update"; exit "$failures"
    fi
    expect "the new set runs" "^${target//./\\.}\$" "$(manifest_mark /home/drivers/MANIFEST)"
    expect "system log after the update" 'from the installed set \(checked\)' "$(boot_log | grep -o 'started 3 .*')"
    expect "the update brought the package's configuration" '^package package package package$' "$(conf_state)"
    answer_s=$(sed -n 's/^drivers answer //p' "$APPLIANCE_DIR/boot.times" | tail -n 1)
    if [ "$what" = measure ]; then
        [ "$failures" = 0 ] && echo "$len" >"$work/length"
    else
        [ "$failures" = 0 ] && res=ok || res=FAIL
        printf 'final|update|-|-|%s|new|-|%s s from the uploader'"'"'s start|%s\n' "$(ending)" "$len" "$res" >>"$work/table.txt"
    fi
    exit "$failures"
fi

# --- one round: the update, cut at the plan's moment ---------------------------------
read -r _ u kind < <(sed -n "${what}p" "$work/plan.txt")
moment=$(awk -v u="$u" -v l="$(cat "$work/length")" 'BEGIN { printf "%.1f", u * 1.1 * l }')
say "round $what: update to [$target], $kind cut at $moment s"
boots=$(boots_seen)
t=$EPOCHREALTIME
run_uploader "$out"
sleep "$(awk -v t="$t" -v now="$EPOCHREALTIME" -v m="$moment" 'BEGIN { d = t + m - now; printf "%.3f", (d > 0 ? d : 0) }')"
cut_at=$EPOCHREALTIME
case $kind in
power) kill -KILL "$APPLIANCE_QEMU_PID" ;;
network) kill -STOP "$APPLIANCE_QEMU_PID" ;;
reboot)
    # Detached, so that the session answers before the guest goes down; the guest
    # may be between boots (its own reset): asked again until it takes the command.
    within 120 guest -t 20 "sh -c \"trap '' HUP; sleep 0.2; reboot\" </dev/null >/dev/null 2>&1 &" ||
        fail "round $what: the guest took no reboot command within 120 s"
    cut_at=$EPOCHREALTIME
    ;;
esac
console_at=$(stat -c %s "$APPLIANCE_CONSOLE")
boots_at=$(boots_seen)
# How long the uploader may take after the cut: at once when the appliance is
# gone (its connections are refused or closed); after a lost network or during
# the reboot its own timers: the FTP wait (60 s), the unpack session's (90 s).
[ "$kind" = power ] && bound=20 || bound=100
for _ in $(seq $((bound * 10))); do [ -f "$out.rc" ] && break; sleep 0.1; done
after_cut=$(awk -v a="$cut_at" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }')
[ "$kind" != network ] || kill -KILL "$APPLIANCE_QEMU_PID"
uverdict=ok
fails_before=$failures
if [ ! -f "$out.rc" ]; then
    fail "round $what: the uploader still runs $bound s after the cut"
    kill -- "$upid" 2>/dev/null || true
    wait "$upid" 2>/dev/null || true
fi
e=$(ending)
expect "round $what: uploader exit status" '^0$' "$(cat "$out.rc" 2>/dev/null)"
ending_ok "round $what"
if [ "$kind" = reboot ]; then
    # The watcher's lines up to the next kernel after the reboot command: the
    # guest's processes run on until the reboot ends them.
    rebooted=0
    wait_boot 240 $((boots_at + 1)) && rebooted=1
    off=$(tail -c +$((console_at + 1)) "$APPLIANCE_CONSOLE" | grep -a -b -m 1 'Booting Linux' | cut -d: -f1 || true)
    console_at=$((console_at + ${off:-0}))
fi
seen=$(head -c "$console_at" "$APPLIANCE_CONSOLE" | tr -d '\r' | grep -a '^cutwatch: ' || true)
phase=$(grep -a -o '^cutwatch: \(saw\|done\) [a-z]* [^ :]*' <<<"$seen" | tail -n 1 | sed 's/^cutwatch: //' || true)
phase=${phase:-before the first step}
if has 14 && ! grep -q '^cutwatch: done' <<<"$seen"; then
    fail "round $what: the uploader reported the transfer completed, but the guest had not finished the update before the cut ($phase)"
fi
[ "$failures" = "$fails_before" ] || { uverdict=FAIL; say "FAILED round $what (seed $seed, moment $moment s, kind $kind): the uploader"; }
cp "$out" "$work/uploader-$what.out"
printf '%s|%s|%s|%s|%s|%s|%s|%s\n' "$what" "$kind" "$moment" "$mark" "$target" "$e, ${after_cut} s after" "$uverdict" "$phase" >"$work/attempt"
if [ "$kind" = reboot ]; then
    # The guest restarted itself: this run checks the boot that followed.
    failures_before_boot=$failures
    failures=0
    if [ "$rebooted" = 1 ]; then
        check_boot
        result_row
    else
        fail "round $what: no boot within 240 s after the reboot"
        say "FAILED round $what (seed $seed, moment $moment s, kind $kind): no boot; last lines of its console:"
        tail -n 20 "$APPLIANCE_CONSOLE" | sed 's/^/    /'
        printf '%s|%s|%s s|%s|%s|no boot|-|-|FAIL\n' "$what" "$kind" "$moment" "$phase" "$e, ${after_cut} s after" >>"$work/table.txt"
        rm -f "$work/attempt"
        touch "$APPLIANCE_DIR/bad"
    fi
    failures=$((failures + failures_before_boot))
fi
exit "$failures"
