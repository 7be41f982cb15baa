#!/bin/sh
# cutwatch.sh: runs in the guest (busybox sh). Waits for each step in turn, then
# writes "cutwatch: cut <what it saw>" to the console, where the host's cutter
# (appliance/tests/cutter.py --console) ends or freezes qemu at once; or, with
# --crash, crashes the kernel itself (panic=-1 restarts at once: nothing the guest
# had not yet written reaches the disk, as in a power cut, and the next boot runs
# in the same qemu). With --trace it cuts nothing: it writes "cutwatch: saw STEP"
# as each step holds and "cutwatch: done ..." after the last (a record of how far
# an update got when it was cut at another moment).
#
#   sh cutwatch.sh [--group telnetd|held] [--crash | --trace] [--show PATH] STEP...
#
# Steps (each one argument; F a path, N bytes):
#   exists F        F exists            gone F          F does not exist
#   atleast F N     F has N bytes or more
#   new F           F changed since the watcher began (its change time)
#   written F N     new and at least N bytes
#   running P       a process named P runs          tar_off   no tar runs
#   rck_on          rcK runs            drivers_off     no driver process runs
#   hold US         freeze the group and from then on let it run in slices of US
#                   microseconds (plus the time usleep takes) until the next step
#                   holds: what the group runs gets at most one slice past a point
#   sync            sync (with the group frozen: everything written so far is on
#                   the disk)
#   log TEXT        the console line "cutwatch: TEXT" (progress, no cut)
# --show PATH adds to the last line whether PATH exists at the cut.
# The group: --group telnetd puts telnetd (every telnet session and what it runs)
# in a cgroup of its own; --group held takes the cgroup as its starter filled it
# (cutboot.sh puts the boot's rcS there).
# No -e: a step is a test that fails until it holds.
set -u
trap '' TERM HUP
group='' crash=0 trace=0 show=''
while :; do
    case "${1:-}" in
    --group) group=$2; shift 2 ;;
    --crash) crash=1; shift ;;
    --trace) trace=1; shift ;;
    --show) show=$2; shift 2 ;;
    *) break ;;
    esac
done
t0=$(date +%s)
say() { echo "cutwatch: $*" >/dev/console; }
sz() { stat -c %s "$1" 2>/dev/null || echo -1; }
exists() { [ -e "$1" ]; }
gone() { [ ! -e "$1" ]; }
atleast() { [ "$(sz "$1")" -ge "$2" ]; }
new() { c=$(stat -c %Z "$1" 2>/dev/null) && [ "$c" -gt "$t0" ]; }
written() { new "$1" && atleast "$1" "$2"; }
running() { pidof "$1" >/dev/null; }
tar_off() { ! pidof tar >/dev/null; }
rck_on() { pidof rcK >/dev/null; }
drivers_off() { ! pidof gatex1d gatex2d serlink ZR1Communicator >/dev/null; }

# The cgroup lives on a mount of its own under /dev (the boot's rcS mounts /sys
# again over anything mounted there).
cg=/dev/cutcg/held
if [ -n "$group" ]; then
    [ -d $cg ] || { mkdir -p /dev/cutcg && mount -t cgroup2 none /dev/cutcg && mkdir $cg; } || say "no cgroup"
    [ "$group" = telnetd ] && pidof telnetd >$cg/cgroup.procs
fi
# Builtins only while frozen and waiting: no process is started.
frozen() { while read -r k v; do [ "$k" = frozen ] && [ "$v" = 1 ] && return 0; done <$cg/cgroup.events; return 1; }
freeze() { echo 1 >$cg/cgroup.freeze; until frozen; do :; done; }
slice='' synced='' last=''
echo $$ >/tmp/cutwatch.pid
for s in "$@"; do
    case $s in
    hold\ *) freeze; slice=${s#hold }; continue ;;
    sync) sync; synced=", synced"; continue ;;
    log\ *) say "${s#log }"; continue ;;
    esac
    # shellcheck disable=SC2086 # a step is a command and its words
    if [ -n "$slice" ]; then
        while ! $s; do echo 0 >$cg/cgroup.freeze; usleep "$slice"; freeze; done
    else
        while ! $s; do usleep 5000; done
    fi
    last=$s
    [ $trace = 1 ] && say "saw $s"
done
f=${last#* }; f=${f%% *}
held=''
[ -n "$slice" ] && held=" (held${synced})"
[ -z "$slice" ] && [ -n "$synced" ] && held=" (synced)"
what="$last: $(stat -c '%n %s bytes' "$f" 2>/dev/null || echo "$f absent")$held"
if [ -n "$show" ]; then
    if [ -e "$show" ]; then what="$what; $show exists"; else what="$what; $show absent"; fi
fi
if [ $trace = 1 ]; then
    say "done $what"
elif [ $crash = 1 ]; then
    say "crash $what"
    echo c >/proc/sysrq-trigger
else
    say "cut $what"
fi
