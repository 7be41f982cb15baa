#!/bin/bash
# A field update of the virtual Orvane (run beside it: appliance/run -- this).
#
# The update package is made as make package makes it, with a new build mark. Its
# cabinet is unpacked as the self-extractor would (pakrel extract, the same engine),
# and in that folder the uploader runs against the appliance (127.0.0.1): function
# 1, reset "y". The uploader is its Linux build, the same portable core as the
# orvane3uploader.exe the package carries: this machine's kernel runs no 32-bit
# programs, so wine cannot start the package here (docs/appliance.md).
#
# Checked: both packages uploaded by FTP, unpacked and removed on the appliance; the
# reset restarts the guest and the init script starts the drivers again; after the
# reboot the build mark is the package's and every driver answers a reading.
set -u
say() { printf 'update_test: %s\n' "$*"; }
failures=0
top=$APPLIANCE_TOP
. "$top/appliance/lib.sh"
work=$APPLIANCE_DIR/update
rm -rf "$work" && mkdir -p "$work"

for f in "$top/build/arm/bin/gatex1d" "$top/build/win32/bin/orvane3uploader.exe" "$top/build/win32/bin/pakrelW.exe" \
         "$top/build/native/bin/pakrel" "$top/build/native/bin/orvane3uploader"; do
    [ -f "$f" ] || { say "missing $f (make package, make)"; exit 1; }
done

before=$(guest cat /home/drivers/buildmark | tr -d '\r')
say "build mark before: $before"
mark="update test $(date -u +%Y-%m-%dT%H:%M:%SZ)"
"$top/packaging/mkpackage" -o "$work/pkg" --mark "$mark" >"$work/mkpackage.out" 2>&1 ||
    { cat "$work/mkpackage.out"; fail "mkpackage"; exit 1; }
pkg=$work/pkg/orvane3_update_1.06.06.exe
[ "$mark" != "$before" ] || fail "the new mark equals the old one"

# The self-extractor's folder: "~" and the package's name in the temporary folder.
pc=$work/pc/~$(basename "$pkg")
mkdir -p "$pc"
"$top/build/native/bin/pakrel" extract -d "$pc" "$pkg" >"$work/extract.out" 2>&1 || { cat "$work/extract.out"; fail "pakrel extract"; }
expect "package contents" '^files/home/update_orv3.inc files/update_bt.inc orvane3uploader.exe$' \
    "$(cd "$pc" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | paste -sd' ')"

t0=$SECONDS
boots=$(boots_seen)
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
fi
t_total=$((SECONDS - t0))

after=$(guest cat /home/drivers/buildmark | tr -d '\r')
say "build mark after the reboot: $after"
expect "the package's build mark survived the reboot" "^${mark//./\\.}\$" "$after"
expect "packages removed after unpacking" '^$' "$(guest 'ls /update_bt.inc /home/update_orv3.inc 2>/dev/null')"
expect "vsftpd took both packages" '2' \
    "$(guest 'grep -c -E "OK UPLOAD.*(update_bt|update_orv3)\.inc" /var/log/messages')"
for f in gatex/gatex1d gatex/gatex2d vexa/zr/ZR1Communicator vexa/zr/serlink; do
    want=$(tar -xzOf "$work/pkg/update_orv3.inc" "drivers/$f" | sha256sum | cut -c1-64)
    expect "/home/drivers/$f is the package's" "^$want" "$(guest "sha256sum /home/drivers/$f")"
done
expect "gatex1d reading after the update" '^\?cmd=get_value&status=OK&val=[0-9.]+$' "$(ask 1111 '?cmd=get_value&node=1&leaf=1&toq=ip')"
expect "gatex2d reading after the update" '^\?cmd=rescan&status=OK' "$(ask 1112 '?cmd=rescan&node=nodegw:1502&timeout=3000')"
expect "ZR1Communicator after the update" '^\?cmd=hello&status=OK' "$(ask 1131 '?cmd=hello')"
printf 'upload+unpack+reset %d\nupdate to drivers answering %d\n' "$t_upload" "$t_total" >"$APPLIANCE_DIR/update.times"

if [ $failures -ne 0 ]; then
    say "$failures check(s) failed"
    cat "$work/uploader.out"
    guest 'tail -n 40 /var/log/messages'
    exit 1
fi
say "all checks passed ($t_total s from the uploader's start to the drivers answering)"
