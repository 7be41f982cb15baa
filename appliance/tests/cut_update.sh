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
# Without arguments all 20 points below (make reliability, about half an hour);
# --small the four of make test. The runs share one disk (appliance/run --disk);
# results in build/appliance/cut/: table.txt (one row per cut), and per boot the
# console, the uploader's output and the boot's system log.
#
# Before each update the operator has edited the configuration files (a comment
# line at their end): each boot must keep an edit it finds in a set whose programs
# check, and an update brings the package's files.
#
# Each update installs a package whose programs differ from the installed ones (two
# packages, A and B: their programs carry a section of their own, their init script
# and ZR1.sh a comment), so a mixture of old and new files is a real mixture.
#
# A point: NAME|TRIGGER|MODE|HOLD|BOOTS|UPLOADER
#   TRIGGER   watch:STEP;STEP...  a watcher in the guest waits for each step in turn
#                                 (exists F, atleast F BYTES, new F: written since the
#                                 update began, written F BYTES: new and that long,
#                                 gone F, tar_off, rck_on, drivers_off), then calls
#                                 the cutter on the host. "hold US" freezes the
#                                 telnet sessions (a cgroup of telnetd's) and from
#                                 then on lets them run in slices of US microseconds
#                                 (and the time usleep takes) until the next step
#                                 holds: a tar cannot get further than one slice
#                                 past the point, and after tar_off its session is
#                                 held before the rm
#             console:REGEX       the guest's console shows REGEX once more
#   MODE      power | network
#   HOLD      sync: the watcher syncs before it calls the cutter (with the tar held:
#             everything it wrote so far is on the disk, as after a longer tar)
#             line:RATE: the line to the FTP server's data ports is slowed to RATE
#             (tc on the rig's loopback), so an upload lasts long enough to be cut
#             where the point says
#   BOOTS     which set the next boot must start: before, either, after
#   UPLOADER  how the uploader must end: failed (a failure message, no reset
#             question), reset (transfer done, reset sent), either
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
say() { printf 'cut_update: %s\n' "$*"; }
failures=0
work=$top/build/appliance/cut

all_points=(
    "bt-upload-begun|watch:exists /update_bt.inc|power|line:64kbit|before|failed"
    "bt-uploaded|watch:atleast /update_bt.inc BT|power|-|before|failed"
    "bt-tar-script|watch:atleast /update_bt.inc BT;hold 1000;new /etc/init.d/orvdrivers|power|sync|before|failed"
    "bt-tar-manifest|watch:atleast /update_bt.inc BT;hold 1000;new /etc/orvdrivers.manifest|power|sync|before|failed"
    "bt-tar-done|watch:atleast /update_bt.inc BT;hold 1000;new /etc/orvdrivers.manifest;tar_off|power|-|before|failed"
    "bt-removed|watch:new /etc/orvdrivers.manifest;gone /update_bt.inc|power|-|before|failed"
    "orv3-upload-begun|watch:exists /home/update_orv3.inc|power|line:2mbit|before|failed"
    "orv3-upload-half|watch:atleast /home/update_orv3.inc ORV3/2|power|line:2mbit|before|failed"
    "orv3-upload-lost|watch:atleast /home/update_orv3.inc ORV3/4|network|line:2mbit|before|failed"
    "orv3-uploaded|watch:atleast /home/update_orv3.inc ORV3|power|line:2mbit|before|failed"
    "orv3-tar-gatex1d|watch:atleast /home/update_orv3.inc ORV3;hold 3000;written /home/drivers/gatex/gatex1d 262144|power|sync|before|failed"
    "orv3-tar-lost|watch:atleast /home/update_orv3.inc ORV3;new /home/drivers/gatex/gatex2d|network|-|before|failed"
    "orv3-tar-zr|watch:atleast /home/update_orv3.inc ORV3;hold 3000;written /home/drivers/vexa/zr/ZR1Communicator 131072|power|sync|before|failed"
    "orv3-tar-manifest|watch:atleast /home/update_orv3.inc ORV3;hold 3000;new /home/drivers/MANIFEST|power|sync|either|failed"
    "orv3-tar-done|watch:atleast /home/update_orv3.inc ORV3;hold 3000;new /home/drivers/MANIFEST;tar_off|power|-|either|failed"
    "orv3-removed|watch:new /home/drivers/MANIFEST;gone /home/update_orv3.inc|power|-|either|either"
    "reset-requested|console:wdt: reset requested|power|-|either|reset"
    "reset-drivers-stopped|watch:rck_on;drivers_off|power|-|either|reset"
    "reset-going-down|console:The system is going down NOW!|power|-|after|reset"
    "reset-reboot|console:Booting Linux|power|-|after|reset"
)
small=(bt-tar-script orv3-tar-gatex1d orv3-upload-lost reset-requested)
cut_port=5599   # the cutter's, on the host side of qemu's user network (guest: 10.0.2.2)

# The uploader's messages (UTF-8 on Linux) by which its ending is told.
declare -A msg=(
    [2]='プログラムを終了するにはリターンを押してください。'
    [7]='FTPサーバへのログインの段階でエラーが発生したため'
    [12]='^FTPコマンド操作にて、".*"へのカレントディレクトリの移動に失敗したため'
    [13]='のファイル転送に失敗したため'
    [14]='ファイル転送が完了しました。'
    [23]='^Orvane I[IV]+へのログインの段階で通信タイムアウトが発生したため'
    [24]='装置リセットを行うため、コマンドを送信しました。'
    [25]='装置をリセットしますか'
    [27]='^Orvane I[IV]+へのログインの段階でエラーが発生したため'
    [28]='^Orvane I[IV]+へのログインの段階で通信エラーが発生したため'
    [29]='コマンドを送信中、通信エラーが発生したため'
    [30]='コマンドを送信中、通信タイムアウトが発生したため'
    [39]='^通信エラーが発生したため、実行を中止しました。'
    [40]='^通信タイムアウトが発生したため、実行を中止しました。'
)

if [ "${1:-}" != --inside ]; then
    if [ "${1:-}" = --small ]; then
        chosen=("${small[@]}")
    elif [ $# -gt 0 ]; then
        chosen=("$@")
    else
        chosen=()
        for p in "${all_points[@]}"; do chosen+=("${p%%|*}"); done
    fi
    for f in "$top/build/arm/bin/gatex1d" "$top/build/native/bin/orvane3uploader" "$top/build/appliance/rootfs.img"; do
        [ -f "$f" ] || { say "missing $f (make, make appliance)"; exit 1; }
    done
    rm -rf "$work" && mkdir -p "$work"
    : >"$work/points"
    for name in "${chosen[@]}"; do
        line=$(printf '%s\n' "${all_points[@]}" | grep "^$name|") || { say "no point $name"; exit 2; }
        echo "$line" >>"$work/points"
    done
    # Two packages whose programs differ from the image's and from each other.
    stamp=$(date -u +%Y-%m-%dT%H:%M:%SZ)
    for v in A B; do
        mkdir -p "$work/bin-$v"
        for p in gatex1d gatex2d ZR1Communicator serlink; do
            # A section of its own survives the package's strip.
            printf 'cut test build %s\n' "$v" >"$work/bin-$v/mark"
            arm-linux-gnueabihf-objcopy --add-section .cuttest="$work/bin-$v/mark" \
                --set-section-flags .cuttest=readonly,contents "$top/build/arm/bin/$p" "$work/bin-$v/$p" ||
                { say "objcopy $p"; exit 1; }
        done
        # The package's own sources: the init script and ZR1.sh with a comment of its own.
        tree=$work/tree-$v
        mkdir -p "$tree/packaging" "$tree/drivers/vexa/zr"
        cp -r "$top/packaging/mkpackage" "$top/packaging/appliance" "$tree/packaging/"
        cp "$top/drivers/vexa/zr/ZR1.sh" "$top/drivers/vexa/zr/ZR1Communicator.ini" "$tree/drivers/vexa/zr/"
        printf '# cut test build %s\n' "$v" | tee -a "$tree/packaging/appliance/orvdrivers" >>"$tree/drivers/vexa/zr/ZR1.sh"
        "$tree/packaging/mkpackage" --inc-only -o "$work/pkg-$v" --arm-bin "$work/bin-$v" --mark "cut test $v $stamp" \
            >"$work/mkpackage-$v.out" 2>&1 || { cat "$work/mkpackage-$v.out"; exit 1; }
        # The folder the self-extractor leaves for the uploader.
        mkdir -p "$work/pc-$v/files/home"
        cp "$work/pkg-$v/update_bt.inc" "$work/pc-$v/files/"
        cp "$work/pkg-$v/update_orv3.inc" "$work/pc-$v/files/home/"
    done
    # The uploader takes the folder's entries in the order the file system gives
    # them; the points are laid out for update_bt.inc first.
    first=$(ls -U "$work/pc-A/files" | head -n 1)
    echo "$first" >"$work/first"
    [ "$first" = update_bt.inc ] ||
        say "note: this file system lists $first first: the uploader sends update_orv3.inc first, so a cut in update_bt.inc may find the new driver set"
    printf 'point|trigger|uploader|booted|restore|power-on to drivers answering\n' >"$work/table.txt"
    n=$(wc -l <"$work/points")
    disk=$work/disk.img
    t0=$SECONDS
    for i in $(seq 1 $((n + 1))); do
        [ $i -le $n ] && what="then cut: $(sed -n "${i}p" "$work/points" | cut -d'|' -f1)" || what="then the whole update"
        say "boot $i of $((n + 1)), $what"
        "$top/appliance/run" --quiet --keep "$work/boot$i" --disk "$disk" -- "$0" --inside "$i" ||
            failures=$((failures + 1))
    done
    survived=$(awk -F'|' 'NR > 1 && $4 !~ /FAIL/ && $1 != "update again"' "$work/table.txt" | wc -l)
    say "table ($work/table.txt):"
    column -t -s'|' "$work/table.txt" 2>/dev/null || cat "$work/table.txt"
    say "$survived of $n cut(s) survived; $((SECONDS - t0)) s in all"
    [ $failures = 0 ] && say "all boots passed" || say "$failures boot(s) failed (kept in $work)"
    exit $failures
fi

# ------------------------------------------------------------------ beside the guest
. "$top/appliance/lib.sh"
i=$2
n=$(wc -l <"$work/points")
bin=$top/build/native/bin

# manifest_mark FILE: the build mark a manifest in the guest records.
manifest_mark() { guest "sed -n 's/^mark //p' $1" | tr -d '\r'; }
# boot_log: this boot's lines of the guest's system log (it is kept on the disk
# across boots) from the init script and orvdrivers.
boot_log() {
    guest 'awk "/rcS: boot:/ { b = \"\" } { b = b \$0 \"\\n\" } END { printf \"%s\", b }" /var/log/messages | grep -E "orvdrivers|rcS"' | tr -d '\r'
}

# --- what this boot started ----------------------------------------------------------------
mark=$(manifest_mark /home/drivers/MANIFEST)
[ "$(guest cat /home/drivers/buildmark | tr -d '\r')" = "$mark" ] || fail "buildmark differs from the manifest's mark [$mark]"
# Programs and scripts must match their manifests; a configuration file is the
# package's or the operator's edit, never anything else.
intact=$(guest '(cd /home/drivers && grep "^[0-9a-f]\{64\}  " MANIFEST | grep -v -E "  (gatex/gatex[12]d\.conf|vexa/zr/ZR1Communicator\.ini)\$" | sha256sum -c -s) &&
    (cd /etc && grep "^[0-9a-f]\{64\}  " orvdrivers.manifest | grep -v "  orvdrivers.conf\$" | sha256sum -c -s) && echo whole' | tr -d '\r')
expect "programs and scripts match their manifests" '^whole$' "$intact"
conf_state() {  # per configuration file: package (its manifest's sum), edited (the operator's line last), other
    guest 'for f in etc/orvdrivers.conf home/drivers/gatex/gatex1d.conf home/drivers/gatex/gatex2d.conf home/drivers/vexa/zr/ZR1Communicator.ini; do
        case $f in etc/*) m=/etc/orvdrivers.manifest d=/etc ;; *) m=/home/drivers/MANIFEST d=/home/drivers ;; esac
        p=${f#${d#/}/}
        if (cd $d && grep "  $p\$" $m | sha256sum -c -s) 2>/dev/null; then echo package
        elif [ "$(tail -n 1 /$f)" = "'"$edit_line"'" ]; then echo edited; else echo other; fi
    done' | tr -d '\r' | paste -sd' '
}
edit_line='; edited by the operator before the update'
expect "configuration: the package's or the operator's" '^(package|edited)( (package|edited)){3}$' "$(conf_state)"
log=$(boot_log)
printf '%s\n' "$log" >"$APPLIANCE_DIR/syslog-boot.txt"
started=$(grep -o 'started 3 driver(s) of build .*' <<<"$log" | tail -n 1)
expect "system log: which set started" '^started 3 driver\(s\) of build .* from the (installed set|last-known-good copy)' "$started"
# Restores this boot made: the sets restored, and the init script run from the copy.
restore=$(grep -o 'the [a-z]* set fails its check (.*): restored' <<<"$log" | sed 's/^the \([a-z]* set\).*/\1/' | paste -sd, - | sed 's/,/, /g')
grep -q 'running the last-known-good copy' <<<"$log" && restore="${restore:+$restore, }init script of the copy"
expect "gatex1d reading" '^\?cmd=get_value&status=OK&val=[0-9.]+$' "$(ask 1111 '?cmd=get_value&node=1&leaf=1&toq=ip')"
expect "gatex2d rescan" '^\?cmd=rescan&status=OK' "$(ask 1112 '?cmd=rescan&node=nodegw:1502&timeout=3000')"
leaf=$(drvq --gatex2 leaves 2>&1 | grep -Eo '[0-9A-F]{14}D4_1' | head -n1)
expect "gatex2d reading" '^\?cmd=get_value&status=OK&val=[0-9.]+&time=20' \
    "$(ask 1112 "?cmd=get_value&node=nodegw:1502&leaf=$leaf&toq=D4_1")"
entry=$(drvq --zr leaves 2>&1 | grep -Eo '[0-9A-F]{8}000001C0_[0-9]' | head -n1)
expect "ZR1Communicator reading" '^\?cmd=get_value&status=OK&val=[0-9]+&time=20' \
    "$(ask 1131 "?cmd=get_value&protocol=C0&node=${entry:6:8}&leaf=${entry:17:1}&toq=${entry:14:4}")"
answer_s=$(sed -n 's/^drivers answer //p' "$APPLIANCE_DIR/boot.times")
# operator_edits: the operator's line at the end of each configuration file that
# does not end with it yet.
operator_edits() {
    guest 'for f in /etc/orvdrivers.conf /home/drivers/gatex/gatex1d.conf /home/drivers/gatex/gatex2d.conf /home/drivers/vexa/zr/ZR1Communicator.ini; do
        [ "$(tail -n 1 $f)" = "'"$edit_line"'" ] || echo "'"$edit_line"'" >>$f
    done; sync' >/dev/null
    expect "the operator's edits in place" '^edited edited edited edited$' "$(conf_state)"
}

# --- the previous cut's outcome --------------------------------------------------------------
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
v=A
[[ $mark == "cut test A "* ]] && v=B
pc=$work/pc-$v
target=$(tar -xzOf "$pc/files/home/update_orv3.inc" drivers/buildmark)
out=$APPLIANCE_DIR/uploader.out
run_uploader() {  # in the background; its status goes to $out.rc
    (cd "$pc" && printf '127.0.0.1\n1\ny\n\n' | timeout 300 "$bin/orvane3uploader" >"$out" 2>&1; echo $? >"$out.rc") &
    upid=$!
}
has() { tr -d '\r' <"$out" | grep -q -E "${msg[$1]}"; }
# ending: the uploader's messages that tell how it ended.
ending() {
    local m e=
    for m in 14 7 12 13 27 28 23 39 40 24 29 30; do has $m && e+="${e:+ }$m"; done
    printf '%s' "${e:-none}"
}

if [ "$i" -gt "$n" ]; then
    # After the last cut: the whole update, which must complete and start the new set.
    say "the update again, to [$target]"
    operator_edits
    failures_before=$failures
    boots=$(boots_seen) t=$SECONDS
    run_uploader
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

IFS='|' read -r pname trigger mode hold boots uploader <<<"$(sed -n "${i}p" "$work/points")"
# With update_orv3.inc sent first, its whole unpack comes before any bt point.
[ "$(cat "$work/first")" != update_bt.inc ] && [[ $pname == bt-* ]] && boots=either
# The next cut falls back on the last-known-good copy, which a checked set becomes
# once its drivers answer: wait (bounded) until it is this set.
good_is() { [ "$(manifest_mark /home/drivers.good/drivers/MANIFEST)" = "$1" ]; }
within 90 good_is "$mark" ||
    fail "no last-known-good copy of [$mark] within 90 s"
# The operator's edits are in place when the update begins (after the copy was
# taken: a set restored from it gets the copy's configuration).
operator_edits

# A package left by an earlier cut would meet an upload step before the upload
# (the next upload replaces it; tar never ran on it): each update starts without.
left=$(guest 'ls /update_bt.inc /home/update_orv3.inc 2>/dev/null; rm -f /update_bt.inc /home/update_orv3.inc' | tr -d '\r' | paste -sd' ' -)
[ -n "$left" ] && say "removed the package(s) an earlier cut left: $left"
bt_size=$(stat -c %s "$pc/files/update_bt.inc") orv3_size=$(stat -c %s "$pc/files/home/update_orv3.inc")
cutter_args=(--pid "$APPLIANCE_QEMU_PID" --out "$APPLIANCE_DIR/cut" --mode "$mode" --limit 240)
case "$trigger" in
watch:*)
    steps=${trigger#watch:}
    steps=${steps//ORV3\/2/$((orv3_size / 2))} && steps=${steps//ORV3\/4/$((orv3_size / 4))}
    steps=${steps//ORV3/$orv3_size} && steps=${steps//BT/$bt_size}
    cutter_args+=(--listen "$cut_port")
    ;;
console:*)
    pattern=${trigger#console:}
    cutter_args+=(--console "$APPLIANCE_CONSOLE" --pattern "$pattern" --count $(($(grep -c -- "$pattern" "$APPLIANCE_CONSOLE") + 1)))
    ;;
esac
"$top/appliance/tests/cutter.py" "${cutter_args[@]}" >"$APPLIANCE_DIR/cutter.out" 2>&1 &
cpid=$!
wait_for 10 grep -q ready "$APPLIANCE_DIR/cutter.out" || fail "the cutter did not start"

if [ -n "${steps:-}" ]; then
    # The watcher: busybox sh in the guest, deaf to the hangup of the telnet
    # session that starts it and to the shutdown's SIGTERM. "new" compares
    # the change time with the second the watcher began, before the uploader starts.
    script=$(cat <<'EOF'
trap '' TERM HUP
t0=$(date +%s)
sz() { stat -c %s "$1" 2>/dev/null || echo -1; }
exists() { [ -e "$1" ]; }
atleast() { [ "$(sz "$1")" -ge "$2" ]; }
new() { c=$(stat -c %Z "$1" 2>/dev/null) && [ "$c" -gt "$t0" ]; }
written() { new "$1" && atleast "$1" "$2"; }
gone() { [ ! -e "$1" ]; }
tar_off() { ! pidof tar >/dev/null; }
rck_on() { pidof rcK >/dev/null; }
drivers_off() { ! pidof gatex1d gatex2d serlink ZR1Communicator >/dev/null; }
# The telnet sessions (and what they run) in a cgroup that can be frozen.
cg=/sys/fs/cgroup/cut
[ -d $cg ] || { mount -t cgroup2 none /sys/fs/cgroup; mkdir $cg; }
echo "$(pidof telnetd)" >$cg/cgroup.procs
# Builtins only while frozen and waiting: no process is started.
frozen() { while read -r k v; do [ "$k" = frozen ] && [ "$v" = 1 ] && return 0; done <$cg/cgroup.events; return 1; }
freeze() { echo 1 >$cg/cgroup.freeze; until frozen; do :; done; }
slice=
hold() { freeze; slice=$1; }
step() {
    if [ -n "$slice" ]; then
        while ! eval "$1"; do echo 0 >$cg/cgroup.freeze; usleep "$slice"; freeze; done
    else
        while ! eval "$1"; do usleep 5000; done
    fi
    case $1 in hold*) ;; *) last=$1 ;; esac
}
echo $$ >/tmp/cutwatch.pid
EOF
)
    IFS=';' read -r -a list <<<"$steps"
    for s in "${list[@]}"; do script+=$'\n'"step '$s'"; done
    [ "$hold" = sync ] && script+=$'\n''sync; synced=", synced"'
    script+=$'\n''f=${last#* }; f=${f%% *}'
    script+=$'\n''[ -n "$slice" ] && held=" (tar held${synced:-})" || held=${synced:+ (synced)}'
    script+=$'\n''echo "$last: $(stat -c "%n %s bytes" "$f" 2>/dev/null)$held" | nc 10.0.2.2 '"$cut_port"
    guest "echo $(base64 -w0 <<<"$script") | base64 -d >/tmp/cutwatch; sh -c \"trap '' HUP TERM; exec sh /tmp/cutwatch\" </dev/null >/dev/null 2>&1 &" >/dev/null
    within 10 sh -c "guest 'cat /tmp/cutwatch.pid' | grep -q '[0-9]'" || fail "the watcher did not start"
fi

if [[ $hold == line:* ]]; then
    # Only the uploader's data to the FTP server's passive ports (40000-40015).
    { tc qdisc add dev lo root handle 1: htb default 20 &&
      tc class add dev lo parent 1: classid 1:10 htb rate "${hold#line:}" burst 2k cburst 2k quantum 1514 &&
      tc class add dev lo parent 1: classid 1:20 htb rate 10gbit quantum 60000 &&
      tc filter add dev lo parent 1: protocol ip prio 1 u32 match ip dport 40000 0xfff0 flowid 1:10; } ||
        fail "slowing the line with tc"
fi
say "update to [$target], cut: $pname ($mode)"
printf '%s|%s|%s|%s|-|-\n' "$pname" "$mark" "$target" "$boots" >"$work/attempt"
run_uploader
wait "$cpid"
crc=$?
if [ $crc != 0 ]; then
    fail "$pname: no cut ($(tail -n 1 "$APPLIANCE_DIR/cutter.out"))"
    kill -KILL "$APPLIANCE_QEMU_PID" 2>/dev/null
fi
{ read -r cut_at _ cutinfo <"$APPLIANCE_DIR/cut"; } 2>/dev/null || cut_at=$(date +%s.%N) cutinfo=none
say "cut ($mode): $cutinfo"
# How long the uploader may take after the cut: at once when the appliance is
# gone (its connections are refused or closed); when the network is lost, its
# FTP wait (60 s) or its session timer (90 s from the session's connect).
[ "$mode" = network ] && bound=100 || bound=20
for _ in $(seq $((bound * 10))); do [ -f "$out.rc" ] && break; sleep 0.1; done
end=$(date +%s.%N)
[ "$mode" = network ] && kill -KILL "$APPLIANCE_QEMU_PID" 2>/dev/null
if [ ! -f "$out.rc" ]; then
    fail "$pname: the uploader still runs $bound s after the cut"
    kill -- "$upid" 2>/dev/null
    wait "$upid" 2>/dev/null
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
    13) expect "$pname: FTP wait timed out" 'PutFile エラー; コード: 12002' "$(tr -d '\r' <"$out" | grep 'PutFile エラー')"
        [ "$after_cut" -le 65 ] || fail "$pname: the uploader ended $after_cut s after the cut (its FTP wait is 60 s)" ;;
    40) [ "$after_cut" -le 92 ] && ok "$pname: the unpack session's timer ended it, $after_cut s after the cut" ||
            fail "$pname: the uploader ended $after_cut s after the cut (its session timer is 90 s)" ;;
    *) fail "$pname: after the network went the uploader ended with $e" ;;
    esac
fi
ending_text="$e, ${after_cut} s after the cut"
[ "$uploader" = reset ] && ending_text=$e
printf '%s|%s|%s|%s|%s|%s\n' "$pname" "$mark" "$target" "$boots" "$mode: ${cutinfo#guest: }" "$ending_text" >"$work/attempt"
cp "$out" "$work/uploader-$i-$pname.out"
for _ in $(seq 100); do kill -0 "$APPLIANCE_QEMU_PID" 2>/dev/null || break; sleep 0.1; done
exit $failures
