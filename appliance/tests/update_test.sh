#!/bin/bash
# A field update of the virtual Orvane, as a service person runs it (beside the guest:
# appliance/run -- this).
#
#   update_test.sh          the update package itself under wine (the appliance stage)
#   update_test.sh --linux  the quicker check: the package's cabinet unpacked by
#                           pakrel, and the uploader's Linux build run in that folder
#
# The package is made as make package makes it, with a new build mark. By default it
# runs under wine: started with no arguments from a folder of its own, on a virtual
# X display; pakrelW asks its opening question (answered Yes), extracts into the wine
# user's temporary folder ("~" and the package's file name) and starts
# orvane3uploader.exe there in a console of its own; the test reads that console
# (conpeek.exe) and types the service person's answers into it once each prompt is
# up (console_typist.py, key presses on the display): address 127.0.0.1, function 1,
# reset "y", Return at the end. The package is the shipped 32-bit one where this
# machine's wine starts 32-bit programs, otherwise the same package made from the
# win64 build (the reason is said in one line); ORV_UPDATE_WINDOWS=win32|win64
# chooses. Each build tree has a wine prefix of its own for this test
# (build/<preset>/wineprefix-appliance), whose server runs inside the rig's network.
#
# Checked: both packages uploaded by FTP (vsftpd logs each), unpacked and removed on
# the appliance; the reset reboots the guest and the init script starts the drivers
# again; after the reboot the build mark is the package's, the four programs are the
# package's bytes and every driver answers a reading; pakrelW exits 0 after the
# uploader has ended and has removed what it extracted and its folder. The console
# as typed, the marks, pakrelW's exit code and the times are printed; the times go to
# $APPLIANCE_DIR/update.times for bench/appliance. A guest that does not come back
# ends the test with the console's last lines and the uploader's output.
set -u  # not -e: a failed check is counted and reported, and the run goes on to the next one
top=$APPLIANCE_TOP
# shellcheck source=appliance/lib.sh
. "$top/appliance/lib.sh"
mode=wine
[ "${1:-}" = --linux ] && mode=linux
work=$APPLIANCE_DIR/update-$mode
rm -rf "$work" && mkdir -p "$work"
pkgname=orvane3_update_1.06.06.exe
title="Orvane III Update 1.06.06"

for f in "$top/build/arm/bin/gatex1d" "$top/build/native/bin/pakrel" "$top/build/native/bin/orvane3uploader"; do
    [ -f "$f" ] || { say "missing $f (make, make build-arm)"; exit 1; }
done

# ---------------------------------------------------------------- which Windows build
if [ $mode = wine ]; then
    windows=${ORV_UPDATE_WINDOWS:-}
    check32() {
        [ -f "$top/build/win32/bin/wine_probe.exe" ] || { echo "the win32 build is missing (make build-win32)"; return 1; }
        ORV_WINEPREFIX=$top/build/win32/wineprefix-appliance "$top/cmake/wine-check" win32 \
            "$top/build/win32/bin/wine_probe.exe" | sed 's/^wine-check: //'
        return "${PIPESTATUS[0]}"
    }
    if [ -z "$windows" ]; then
        if why=$(check32); then
            windows=win32
        else
            say "the 32-bit package cannot run here: $why"
            say "so the package is made from the win64 build (the same block and cabinet)"
            windows=win64
        fi
    fi
    wbin=$top/build/$windows/bin
    wine_run=$top/cmake/wine-run-$windows
    prefix=$top/build/$windows/wineprefix-appliance
    for f in pakrelW.exe orvane3uploader.exe conpeek.exe wine_probe.exe; do
        [ -f "$wbin/$f" ] || { say "missing $wbin/$f (make build-$windows)"; exit 1; }
    done
    for c in xvfb-run wineserver python3; do
        command -v $c >/dev/null || { say "$c is missing (scripts/install-deps)"; exit 1; }
    done
    # The prefix is made (once) and wine shown to start a program in it, bounded.
    started=$(ORV_WINEPREFIX=$prefix "$top/cmake/wine-check" "$windows" "$wbin/wine_probe.exe") ||
        { say "FAIL: wine cannot start the $windows programs: ${started#wine-check: }"; exit 1; }
    say "package from the $windows build (${started#wine-check: ok: })"
fi

# ---------------------------------------------------------------- the package
before=$(guest cat /home/drivers/buildmark | tr -d '\r')
say "build mark before: $before"
mark="update test $(date -u +%Y-%m-%dT%H:%M:%SZ)"
[ "$mark" != "$before" ] || fail "the new mark equals the old one"
mkargs=(-o "$work/pkg" --mark "$mark")
[ $mode = wine ] && mkargs+=(--windows "$windows")
"$top/packaging/mkpackage" "${mkargs[@]}" >"$work/mkpackage.out" 2>&1 ||
    { cat "$work/mkpackage.out"; fail "mkpackage"; exit 1; }
pkg=$work/pkg/$pkgname
uploads_before=$(guest 'grep -c -E "OK UPLOAD.*(update_bt|update_orv3)\.inc" /var/log/messages' | tr -d '\r')
boots=$(boots_seen)

if [ $mode = linux ]; then
    # The self-extractor's folder: "~" and the package's name in the temporary folder.
    pc=$work/pc/~$pkgname
    mkdir -p "$pc"
    "$top/build/native/bin/pakrel" extract -d "$pc" "$pkg" >"$work/extract.out" 2>&1 || { cat "$work/extract.out"; fail "pakrel extract"; }
    expect "package contents" '^files/home/update_orv3.inc files/update_bt.inc orvane3uploader.exe$' \
        "$(cd "$pc" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | paste -sd' ')"
    t0=$SECONDS
    say "running the uploader in $pc (address 127.0.0.1, function 1, reset y)"
    (cd "$pc" && printf '127.0.0.1\n1\ny\n\n' | timeout 300 "$top/build/native/bin/orvane3uploader") >"$work/uploader.out" 2>&1
    rc=$?
    t_upload=$((SECONDS - t0))
    expect "uploader exit status" '^0$' "$rc"
    expect "the reset command went to the appliance" 'wdt: reset requested' "$(grep -a 'wdt: reset requested' "$APPLIANCE_CONSOLE" | tail -n1)"
    if wait_boot 240 $((boots + 1)); then
        ok "the guest rebooted and its drivers answer ($((SECONDS - t0)) s from the uploader's start)"
    else
        fail "no reboot after the reset"
        echo "--- the guest's console, last lines"; tail -n 40 "$APPLIANCE_CONSOLE"
        echo "--- the uploader's output"; cat "$work/uploader.out"
        exit 1
    fi
    t_total=$((SECONDS - t0))
    printf 'upload+unpack+reset %d\nupdate to drivers answering %d\n' "$t_upload" "$t_total" >"$APPLIANCE_DIR/update.times"
    transcript=$work/uploader.out
else
    # ------------------------------------------------------------ the package under wine
    temp=$prefix/drive_c/users/$(id -un)/Temp/~$pkgname
    rm -rf "$temp"
    mkdir -p "$work/pc"                     # the package's own folder, started from there
    cp "$pkg" "$work/pc/"
    export WORK=$work WINE_RUN=$wine_run CONPEEK=$wbin/conpeek.exe TEMPDIR=$temp TITLE=$title PKGNAME=$pkgname
    export TYPIST=$top/appliance/tests/console_typist.py
    export ORV_WINEPREFIX=$prefix WINEPREFIX=$prefix WINEDEBUG=-all
    cat >"$work/run-package.sh" <<'EOS'
#!/bin/bash
# On the virtual display: the package, its uploader's console read and typed into.
set -u
cd "$WORK/pc"
winpath() { local p=${1//\//\\}; echo "Z:$p"; }
mkfifo "$WORK/typist.in"
python3 "$TYPIST" orvane3uploader <"$WORK/typist.in" >"$WORK/typist.out" 2>&1 &
typist=$!
exec 7>"$WORK/typist.in"
date +%s.%N >"$WORK/package.start"
"$WINE_RUN" "./$PKGNAME" &              # no arguments, as a double click starts it
w=$!
tell() { echo "$1" >&7; }               # one command to the typist
peek() {  # the uploader's console into console.txt
    ORV_CONPEEK_OUT=$(winpath "$WORK/console.new") "$WINE_RUN" "$CONPEEK" orvane3uploader.exe >/dev/null 2>&1 &&
        mv "$WORK/console.new" "$WORK/console.txt"
}
prompt_after() {  # prompt_after LINE: the console ends with LINE and the ">" prompt
    peek || return 1
    [ "$(tail -n 1 "$WORK/console.txt")" = ">" ] &&
        [ "$(tail -n 2 "$WORK/console.txt" | head -n 1)" = "$1" ]
}
until_() {  # until_ SECONDS WHAT COMMAND...: COMMAND true within SECONDS, or give up
    local limit=$1 what=$2; shift 2
    local end=$((SECONDS + limit))
    until "$@"; do
        if [ $SECONDS -ge $end ] || ! kill -0 $w 2>/dev/null; then
            echo "gave up waiting for $what ($limit s, or pakrelW ended)"
            echo "--- the uploader's console"; cat "$WORK/console.txt" 2>/dev/null
            kill $w 2>/dev/null; exec 7>&-; kill $typist 2>/dev/null
            exit 1
        fi
        sleep 1
    done
    echo "$(date +%s.%N) $what" >>"$WORK/steps"
}
type_() { sleep 0.5; tell "type $1"; echo "typed: $1"; }
# The opening question of the shipped block; Yes is its default button.
tell "answer $TITLE"
answered() { [ -s "$WORK/typist.out" ]; }
until_ 60 "the opening question" answered
echo "opening question \"$TITLE\": $(head -n 1 "$WORK/typist.out") (Return: Yes)"
until_ 120 "the address prompt" prompt_after " (デフォルト:192.168.0.254)"
(cd "$TEMPDIR" && find . | LC_ALL=C sort) >"$WORK/extracted"
type_ 127.0.0.1
until_ 30 "the menu prompt" prompt_after " (デフォルト:1)"
type_ 1
until_ 240 "the reset question" prompt_after " (デフォルト:y)"
type_ y
exit_prompt() { peek && grep -q 'プログラムを終了するにはリターンを押してください。' "$WORK/console.txt"; }
until_ 60 "the exit prompt" exit_prompt
cp "$WORK/console.txt" "$WORK/transcript.txt"
sleep 0.5; tell "return"; echo "typed: (Return)"
# pakrelW waits for the uploader, then for installer windows (under wine about 30 s,
# docs/pakrelw.md), then removes what it extracted.
until_ 180 "pakrelW to end" eval '! kill -0 $w 2>/dev/null'
wait $w
echo "package exit $?"
exec 7>&-
kill $typist 2>/dev/null
wait $typist 2>/dev/null
exit 0
EOS
    chmod +x "$work/run-package.sh"
    # Wine's sockets are made by the wineserver: it runs here, in the rig's network.
    wineserver -f -p & server=$!
    say "starting $pkgname under wine ($windows build) from $work/pc, with no arguments"
    t0=$SECONDS
    timeout -k 10 600 xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$work/run-package.sh" >"$work/run-package.out" 2>&1 &
    xvfb=$!
    # Meanwhile: the reset's reboot and the drivers after it.
    if wait_boot 480 $((boots + 1)); then
        t_drivers=$(date +%s.%N)
        rebooted=1
    else
        rebooted=0
    fi
    wait $xvfb
    rc=$?
    cat "$work/run-package.out"
    timeout 60 wineserver -k 2>/dev/null
    wait $server 2>/dev/null
    transcript=$work/transcript.txt
    echo "--- the uploader's console as typed (conpeek, the last look before the final Return)"
    sed 's/^/    | /' "$transcript" 2>/dev/null
    expect "the opening question answered" 'typed \(Return: Yes\)$' "$(grep '^opening question' "$work/run-package.out")"
    expect "pakrelW's exit code after the uploader ended" '^package exit 0$' "$(grep '^package exit' "$work/run-package.out")"
    expect "the run on the virtual display ended by itself" '^0$' "$rc"
    expect "extracted into ~$pkgname in the temporary folder" \
        '^\. \./files \./files/home \./files/home/update_orv3\.inc \./files/update_bt\.inc \./orvane3uploader\.exe$' \
        "$(paste -sd' ' "$work/extracted" 2>/dev/null)"
    if [ -e "$temp" ]; then fail "the extracted files or their folder are still there: $(find "$temp" | head -n 5 | paste -sd' ')"; else ok "pakrelW removed the extracted files and their folder ($temp)"; fi
    expect "the reset command went to the appliance" 'wdt: reset requested' "$(grep -a 'wdt: reset requested' "$APPLIANCE_CONSOLE" | tail -n1)"
    expect "the reset was sent" '装置リセットを行うため、コマンドを送信しました。' "$(grep -a '装置リセット' "$transcript" 2>/dev/null | tail -n 1)"
    if [ $rebooted = 1 ]; then
        start=$(cat "$work/package.start")
        t_total=$(awk -v a="$start" -v b="$t_drivers" 'BEGIN { printf "%d", b - a + 0.5 }')
        ok "the guest rebooted and its drivers answer ($t_total s from the package's start)"
    else
        fail "no reboot after the reset"
        echo "--- the guest's console, last lines"; tail -n 40 "$APPLIANCE_CONSOLE"
        echo "--- the uploader's output"; cat "$work/console.txt" 2>/dev/null
        exit 1
    fi
    step_times=$(awk -v s="$(cat "$work/package.start")" '{ printf "%s %.0f s; ", substr($0, index($0, " ") + 1), $1 - s }' "$work/steps")
    say "steps from the package's start: ${step_times%; }"
    printf 'package start to drivers answering %d\n' "$t_total" >"$APPLIANCE_DIR/update.times"
fi

# ---------------------------------------------------------------- after the reboot
after=$(guest cat /home/drivers/buildmark | tr -d '\r')
say "build mark after the reboot: $after"
expect "the package's build mark survived the reboot" "^${mark//./\\.}\$" "$after"
expect "packages removed after unpacking" '^$' "$(guest 'ls /update_bt.inc /home/update_orv3.inc 2>/dev/null')"
uploads=$(guest 'grep -c -E "OK UPLOAD.*(update_bt|update_orv3)\.inc" /var/log/messages' | tr -d '\r')
expect "vsftpd took both packages" '^2$' "$((uploads - uploads_before))"
for f in gatex/gatex1d gatex/gatex2d vexa/zr/ZR1Communicator vexa/zr/serlink; do
    want=$(tar -xzOf "$work/pkg/update_orv3.inc" "drivers/$f" | sha256sum | cut -c1-64)
    expect "/home/drivers/$f is the package's" "^$want" "$(guest "sha256sum /home/drivers/$f")"
done
expect "gatex1d reading after the update" '^\?cmd=get_value&status=OK&val=[0-9.]+$' "$(ask 1111 '?cmd=get_value&node=1&leaf=1&toq=ip')"
expect "gatex2d rescan after the update" '^\?cmd=rescan&status=OK' "$(ask 1112 '?cmd=rescan&node=nodegw:1502&timeout=3000')"
leaf=$(drvq --gatex2 leaves 2>&1 | grep -Eo '[0-9A-F]{14}D4_1' | head -n1)
expect "gatex2d reading after the update" '^\?cmd=get_value&status=OK&val=[0-9.]+&time=20' \
    "$(ask 1112 "?cmd=get_value&node=nodegw:1502&leaf=$leaf&toq=D4_1")"
entry=
for _ in $(seq 60); do
    entry=$(drvq --zr leaves 2>&1 | grep -Eo '[0-9A-F]{8}000001C0_[0-9]' | head -n1)
    [ -n "$entry" ] && break; sleep 1
done
expect "ZR1Communicator reading after the update" '^\?cmd=get_value&status=OK&val=[0-9]+&time=20' \
    "$(ask 1131 "?cmd=get_value&protocol=C0&node=${entry:6:8}&leaf=${entry:17:1}&toq=${entry:14:4}")"

if [ $failures -ne 0 ]; then
    say "$failures check(s) failed"
    cat "$transcript" 2>/dev/null
    guest 'tail -n 40 /var/log/messages'
    exit 1
fi
say "all checks passed ($t_total s from the $([ $mode = wine ] && echo "package's" || echo "uploader's") start to the drivers answering)"
