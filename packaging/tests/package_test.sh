#!/bin/bash
# The update package as make package builds it: the block's values, the cabinet's
# files (read back by cabextract, an independent reader), and the two tar packages'
# members and modes. Then reproducibility: the Windows programs built a second time
# in a fresh tree of their own (same sources, toolchain and build type, another
# folder) and the package made again of them must have the same bytes.
# usage: package_test.sh TOP ARM_BIN WIN_BIN PAKREL WORKDIR [TOOLCHAIN_FILE BUILD_TYPE]
set -u  # not -e: a failed check is counted and reported, and the run goes on to the next one
top=$1 arm=$2 win=$3 pakrel=$4 work=$5 toolchain=${6:-} buildtype=${7:-MinSizeRel}
# shellcheck source=appliance/lib.sh
. "$top/appliance/lib.sh"
for f in "$arm/gatex1d" "$win/orvane3uploader.exe" "$win/pakrelW.exe" "$pakrel"; do
    [ -e "$f" ] || { say "missing $f; skipping"; exit 77; }
done
command -v cabextract >/dev/null || { say "cabextract is missing (scripts/install-deps installs it)"; exit 1; }
rm -rf "$work" && mkdir -p "$work"
"$top/packaging/mkpackage" -o "$work" --arm-bin "$arm" --win-bin "$win" --pakrel "$pakrel" >"$work/out" 2>&1 ||
    { cat "$work/out"; exit 1; }
pkg=$work/orvane3_update_1.06.06.exe
info=$("$pakrel" info "$pkg")
field() { sed -n "s/^$1: //p" <<<"$info"; }
same "platform mark" 3 "$(field platform)"
same "destination" '%temp%' "$(field destination)"
same "program" orvane3uploader.exe "$(field program)"
same "flags (no-questions open-folder wait hide)" "1 0 1 1" \
    "$(field no-questions) $(field open-folder) $(field wait) $(field hide-dialog)"
same "CRC set and right" "ok" "$(field crc-check)"
[ "$(field crc)" != 00000000 ] || fail "CRC is 0"
same "title" "Orvane III Update 1.06.06" "$(field title)"
same "question" "Update the Orvane III to version 1.06.06 now?" "$(field question)"
same "block right behind the image" "$(( $(field block-offset) + 996 ))" "$(field cabinet-offset)"
same "cabinet runs to the end" "$(stat -c %s "$pkg")" "$(( $(field cabinet-offset) + $(field cabinet-size) ))"

# The cabinet, cut out of the package and read by cabextract.
tail -c "+$(( $(field cabinet-offset) + 1 ))" "$pkg" >"$work/cut.cab"
same "cabinet files" "files\\home\\update_orv3.inc|files\\update_bt.inc|orvane3uploader.exe" \
    "$(cabextract -q -l "$work/cut.cab" | awk -F' [|] ' 'NF == 3 && $1 ~ /^ *[0-9]+ *$/ {print $3}' | sed 's|/|\\|g' | sort | paste -sd'|')"
mkdir -p "$work/x"
(cd "$work/x" && cabextract -q "$work/cut.cab") || fail "cabextract"
same "carried uploader" "" "$(cmp "$work/x/orvane3uploader.exe" "$win/orvane3uploader.exe" 2>&1)"
members() { tar -tvzf "$1" | awk '{print $1, $2, $6}' | paste -sd'|'; }
same "update_orv3.inc members (unpacked into /home)" \
"-rw-r--r-- 0/0 drivers/buildmark|-rwxr-xr-x 0/0 drivers/gatex/gatex1d|-rw-r--r-- 0/0 drivers/gatex/gatex1d.conf|-rwxr-xr-x 0/0 drivers/gatex/gatex2d|-rw-r--r-- 0/0 drivers/gatex/gatex2d.conf|-rwxr-xr-x 0/0 drivers/vexa/zr/ZR1.sh|-rwxr-xr-x 0/0 drivers/vexa/zr/ZR1Communicator|-rw-r--r-- 0/0 drivers/vexa/zr/ZR1Communicator.ini|-rwxr-xr-x 0/0 drivers/vexa/zr/serlink|-rw-r--r-- 0/0 drivers/MANIFEST" \
    "$(members "$work/x/files/home/update_orv3.inc")"
same "update_bt.inc members (unpacked into /)" \
    "-rwxr-xr-x 0/0 etc/init.d/orvdrivers|-rw-r--r-- 0/0 etc/orvdrivers.conf|-rw-r--r-- 0/0 etc/orvdrivers.manifest" \
    "$(members "$work/x/files/update_bt.inc")"
# Each manifest names every other member of its package with the right sum.
for inc in home/update_orv3.inc:drivers/MANIFEST update_bt.inc:etc/orvdrivers.manifest; do
    n=${inc%%:*} && u=$work/u-${n//\//-} && mkdir -p "$u" && tar -xzf "$work/x/files/$n" -C "$u"
    m=$u/${inc#*:}
    same "${inc#*:}: mark first, end last" "mark|end" "$(head -n 1 "$m" | cut -d' ' -f1)|$(tail -n 1 "$m")"
    same "${inc#*:} covers every member" "$(cd "$u" && find . -type f ! -path "./${inc#*:}" | wc -l)" \
        "$(grep -c '^[0-9a-f]\{64\}  ' "$m")"
    same "${inc#*:} sums" "" "$(cd "${m%/*}" && grep '^[0-9a-f]\{64\}  ' "${m##*/}" | sha256sum -c --quiet 2>&1)"
done
for p in gatex/gatex1d gatex/gatex2d vexa/zr/ZR1Communicator vexa/zr/serlink; do
    tar -xzOf "$work/x/files/home/update_orv3.inc" "drivers/$p" >"$work/prog"
    h=$(arm-linux-gnueabihf-readelf -h -l "$work/prog" 2>/dev/null)
    same "drivers/$p is a static ARM program" "ARM static" \
        "$(grep -q 'Machine: *ARM' <<<"$h" && echo ARM) $(grep -q 'INTERP' <<<"$h" || echo static)"
done
same "ZR1Communicator.ini as shipped" "" \
    "$(tar -xzOf "$work/x/files/home/update_orv3.inc" drivers/vexa/zr/ZR1Communicator.ini | cmp - "$top/drivers/vexa/zr/ZR1Communicator.ini" 2>&1)"
# gatex2d's file as the appliance has always had it: two sections, an empty line
# between them, CR LF line ends.
same "gatex2d.conf as shipped" "" \
    "$(tar -xzOf "$work/x/files/home/update_orv3.inc" drivers/gatex/gatex2d.conf |
       cmp - <(printf '[GENERAL]\r\nport=1112\r\n\r\n[uMARLO]\r\nmaxnodes=16\r\n') 2>&1)"

# Reproducible: the same inputs and mark give the same package; the programs built
# again from the same sources give the same bytes, and so does the package made of them.
mark=$(tar -xzOf "$work/x/files/home/update_orv3.inc" drivers/buildmark)
"$top/packaging/mkpackage" -o "$work/again" --arm-bin "$arm" --win-bin "$win" --pakrel "$pakrel" \
    --mark "$mark" >"$work/again.out" 2>&1 || { cat "$work/again.out"; exit 1; }
for f in update_orv3.inc update_bt.inc update.cab orvane3_update_1.06.06.exe; do
    same "$f made again: the same bytes" "" "$(cmp "$work/$f" "$work/again/$f" 2>&1)"
done
if [ -n "$toolchain" ]; then
    rb=$work/rebuild
    t0=$SECONDS
    if cmake -S "$top" -B "$rb" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE="$buildtype" \
             -DORV_TESTS=OFF >"$work/rebuild.out" 2>&1 &&
       cmake --build "$rb" -j "${JOBS:-2}" --target pakrelW orvane3uploader >>"$work/rebuild.out" 2>&1; then
        ok "pakrelW.exe and orvane3uploader.exe built again in $rb ($((SECONDS - t0)) s)"
        for p in pakrelW.exe orvane3uploader.exe; do
            same "$p built again: the same bytes" "" "$(cmp "$win/$p" "$rb/bin/$p" 2>&1)"
        done
        same "no link time stamp in pakrelW.exe" "0" \
            "$(od -An -tu4 -j$(( $(od -An -tu4 -j60 -N4 "$rb/bin/pakrelW.exe" | tr -d ' ') + 8 )) -N4 "$rb/bin/pakrelW.exe" | tr -d ' ')"
        "$top/packaging/mkpackage" -o "$work/rebuilt" --arm-bin "$arm" --win-bin "$rb/bin" --pakrel "$pakrel" \
            --mark "$mark" >"$work/rebuilt.out" 2>&1 || { cat "$work/rebuilt.out"; exit 1; }
        same "the package made of the programs built again: the same bytes" "" \
            "$(cmp "$pkg" "$work/rebuilt/orvane3_update_1.06.06.exe" 2>&1)"
    else
        cat "$work/rebuild.out"
        fail "the second build of the Windows programs"
    fi
fi
exit $failures
