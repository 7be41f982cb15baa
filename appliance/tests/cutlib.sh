# shellcheck shell=bash
# Variables set here are the sourcing script's results; the guest's commands are
# quoted for the guest's shell.
# shellcheck disable=SC2034,SC2016,SC2154
# Shared machinery of the cut tests (cut_update.sh, cut_random.sh, cut_repair.sh):
# the two alternating packages, the uploader's run and how it ended, and the
# checks a boot after a cut must pass. Sourced; the sourcing script sets top,
# work (its results folder) and failures=0 and defines say().

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
# The endings of a run cut short: one failure message, or the transfer done
# (14) and the reset command sent or its session failing.
failed_endings=' 7 12 13 23 27 28 39 40 '
done_endings=' 14_23 14_24 14_27 14_28 14_29 14_30 '

# make_packages: two packages, A and B, in $work/pc-A and $work/pc-B (the folder
# the self-extractor leaves for the uploader), whose programs differ from the
# image's and from each other: a section of their own in the programs (the
# package's strip keeps it), a comment in the init script and ZR1.sh.
make_packages() {
    local v p tree stamp
    stamp=$(date -u +%Y-%m-%dT%H:%M:%SZ)
    for v in A B; do
        mkdir -p "$work/bin-$v"
        printf 'cut test build %s\n' "$v" >"$work/bin-$v/mark"
        for p in gatex1d gatex2d ZR1Communicator serlink; do
            arm-linux-gnueabihf-objcopy --add-section .cuttest="$work/bin-$v/mark" \
                --set-section-flags .cuttest=readonly,contents "$top/build/arm/bin/$p" "$work/bin-$v/$p" ||
                { say "objcopy $p"; return 1; }
        done
        tree=$work/tree-$v
        mkdir -p "$tree/packaging" "$tree/drivers/vexa/zr"
        cp -r "$top/packaging/mkpackage" "$top/packaging/appliance" "$tree/packaging/"
        cp "$top/drivers/vexa/zr/ZR1.sh" "$top/drivers/vexa/zr/ZR1Communicator.ini" "$tree/drivers/vexa/zr/"
        printf '# cut test build %s\n' "$v" | tee -a "$tree/packaging/appliance/orvdrivers" >>"$tree/drivers/vexa/zr/ZR1.sh"
        "$tree/packaging/mkpackage" --inc-only -o "$work/pkg-$v" --arm-bin "$work/bin-$v" --mark "cut test $v $stamp" \
            >"$work/mkpackage-$v.out" 2>&1 || { cat "$work/mkpackage-$v.out"; return 1; }
        mkdir -p "$work/pc-$v/files/home"
        cp "$work/pkg-$v/update_bt.inc" "$work/pc-$v/files/"
        cp "$work/pkg-$v/update_orv3.inc" "$work/pc-$v/files/home/"
    done
}

# need_builds: the programs and image the cut tests use are there.
need_builds() {
    local f
    for f in "$top/build/arm/bin/gatex1d" "$top/build/native/bin/orvane3uploader" "$top/build/appliance/rootfs.img"; do
        [ -f "$f" ] || { say "missing $f (make, make appliance)"; return 1; }
    done
}

# ------------------------------------------------------------------ beside the guest
# (after appliance/lib.sh)

# manifest_mark FILE: the build mark a manifest in the guest records.
manifest_mark() { guest "sed -n 's/^mark //p' $1" | tr -d '\r'; }

# boot_log: this boot's lines of the guest's system log (kept on the disk across
# boots) from the init script and orvdrivers.
boot_log() {
    guest 'awk "/rcS: boot:/ { b = \"\" } { b = b \$0 \"\\n\" } END { printf \"%s\", b }" /var/log/messages | grep -E "orvdrivers|rcS"' | tr -d '\r'
}

edit_line='; edited by the operator before the update'
conf_files='/etc/orvdrivers.conf /home/drivers/gatex/gatex1d.conf /home/drivers/gatex/gatex2d.conf /home/drivers/vexa/zr/ZR1Communicator.ini'

# conf_state: per configuration file, package (its manifest's sum), edited (the
# operator's line last) or other.
conf_state() {
    guest 'for f in '"$conf_files"'; do
        case $f in /etc/*) m=/etc/orvdrivers.manifest d=/etc ;; *) m=/home/drivers/MANIFEST d=/home/drivers ;; esac
        p=${f#$d/}
        if (cd $d && grep "  $p\$" $m | sha256sum -c -s) 2>/dev/null; then echo package
        elif [ "$(tail -n 1 $f)" = "'"$edit_line"'" ]; then echo edited; else echo other; fi
    done' | tr -d '\r' | paste -sd' '
}

# operator_edits: the operator's line at the end of each configuration file that
# does not end with it yet.
operator_edits() {
    guest 'for f in '"$conf_files"'; do
        [ "$(tail -n 1 $f)" = "'"$edit_line"'" ] || echo "'"$edit_line"'" >>$f
    done; sync' >/dev/null || true
    expect "the operator's edits in place" '^edited edited edited edited$' "$(conf_state)"
}

# sets_whole DRIVERS ETC: the programs and scripts of the driver set in DRIVERS
# and the boot set in ETC match their manifests.
sets_whole() {
    local d=$1 e=$2
    guest '(cd '"$d"' && grep "^[0-9a-f]\{64\}  " MANIFEST | grep -v -E "  (gatex/gatex[12]d\.conf|vexa/zr/ZR1Communicator\.ini)\$" | sha256sum -c -s) &&
        (cd '"$e"' && grep "^[0-9a-f]\{64\}  " orvdrivers.manifest | grep -v "  orvdrivers.conf\$" | sha256sum -c -s) && echo whole' | tr -d '\r'
}

# check_boot: the checks of a boot after a cut. Sets mark (the build mark that
# started), started (the system log's line), restore (what this boot restored)
# and answer_s (power-on to every driver answering); counts failures.
check_boot() {
    local log leaf entry
    mark=$(manifest_mark /home/drivers/MANIFEST)
    [ "$(guest cat /home/drivers/buildmark | tr -d '\r')" = "$mark" ] || fail "buildmark differs from the manifest's mark [$mark]"
    expect "programs and scripts match their manifests" '^whole$' "$(sets_whole /home/drivers /etc)"
    expect "configuration: the package's or the operator's" '^(package|edited)( (package|edited)){3}$' "$(conf_state)"
    log=$(boot_log)
    printf '%s\n' "$log" >"$APPLIANCE_DIR/syslog-boot.txt"
    started=$(grep -o 'started 3 driver(s) of build .*' <<<"$log" | tail -n 1)
    expect "system log: which set started" '^started 3 driver\(s\) of build .* from the (installed set|last-known-good copy)' "$started"
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
    answer_s=$(sed -n 's/^drivers answer //p' "$APPLIANCE_DIR/boot.times" | tail -n 1)
}

# copy_settled: this boot's refresh of the last-known-good copy is over (taken,
# the same already, or failed), or there is none: only a boot that started both
# sets checked, nothing restored, refreshes the copy.
copy_settled() {
    local log
    log=$(boot_log)
    [[ $log != *"from the installed set (checked)"* ]] ||
        grep -q -E 'kept the driver set|the last-known-good copy is this set already|keeping the last-known-good copy failed|the last-known-good copy stays as it was' <<<"$log"
}

# good_is MARK: the last-known-good copy holds the set of that mark.
good_is() { [ "$(manifest_mark /home/drivers.good/drivers/MANIFEST)" = "$1" ]; }

# next_package MARK: the package whose mark is not the one installed (A after
# anything but A); sets pc and target.
next_package() {
    local v=A
    [[ $1 == "cut test A "* ]] && v=B
    pc=$work/pc-$v
    target=$(tar -xzOf "$pc/files/home/update_orv3.inc" drivers/buildmark)
}

# clear_packages: a package left by an earlier cut would meet an upload step
# before the upload; each update starts without.
clear_packages() {
    local left
    left=$(guest 'ls /update_bt.inc /home/update_orv3.inc 2>/dev/null; rm -f /update_bt.inc /home/update_orv3.inc; sync' | tr -d '\r' | paste -sd' ' -)
    [ -z "$left" ] || say "removed the package(s) an earlier cut left: $left"
}

# run_uploader OUT: the uploader's Linux build in the package's folder, in the
# background, answering as the service person does; its status goes to OUT.rc.
run_uploader() {
    out=$1
    rm -f "$out.rc"
    (cd "$pc" && printf '127.0.0.1\n1\ny\n\n' | timeout 300 "$top/build/native/bin/orvane3uploader" >"$out" 2>&1; echo $? >"$out.rc") &
    upid=$!
}
has() { tr -d '\r' <"$out" | grep -q -E "${msg[$1]}"; }
# ending: the uploader's messages that tell how it ended.
ending() {
    local m e=
    for m in 14 7 12 13 27 28 23 39 40 24 29 30; do has "$m" && e+="${e:+ }$m"; done
    printf '%s' "${e:-none}"
}
# ending_ok: the uploader ended as a run cut short may: one failure message, or
# the transfer done and the reset sent (or its session failing); always at its
# exit prompt, never a reset question after a failure.
ending_ok() {
    local e
    e=$(ending)
    [[ $failed_endings == *" $e "* || $done_endings == *" ${e// /_} "* ]] || { fail "$1: the uploader ended with message(s) $e"; return; }
    ok "$1: the uploader ended with message(s) $e"
    has 2 || fail "$1: the uploader did not reach its exit prompt"
    if has 25 && ! has 14; then fail "$1: a reset question after a failed transfer"; fi
}

# put_file LOCAL REMOTE: a file into the guest by FTP (as root).
put_file() {
    python3 - "$1" "$2" <<'EOF'
import ftplib, sys
f = ftplib.FTP("127.0.0.1", "root", "brolt362", timeout=30)
with open(sys.argv[1], "rb") as src:
    f.storbinary("STOR " + sys.argv[2], src)
f.quit()
EOF
}

# monitor COMMAND: one command to qemu's monitor.
monitor() {
    python3 - "$APPLIANCE_MONITOR" "$1" <<'EOF'
import socket, sys, time
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
s.settimeout(10)
s.recv(4096)
s.sendall(sys.argv[2].encode() + b"\n")
time.sleep(0.3)
s.recv(4096)
s.close()
EOF
}

# snapshot_disk FILE: the disk as it stands, with the guest synced and qemu's
# machine stopped meanwhile (its disk requests drained), copied to FILE.
snapshot_disk() {
    guest sync >/dev/null || return 1
    monitor stop || return 1
    cp --sparse=always "$APPLIANCE_DISK" "$1.tmp" && mv "$1.tmp" "$1"
    local rc=$?
    monitor cont
    return $rc
}
