#!/bin/bash
# Upload time of orvane3uploader.exe under wine against the Linux build of the
# same core, both sending the same tree of 20 files (50 MiB in all) to the same
# local FTP server (pyftpdlib on 127.0.0.1) in the same run. Wine's own start-up
# is measured apart (the exe with an empty files folder) and taken off, so the
# ratio compares the transfers. Prints each round and the median ratio
# exe/linux. No goal: the exe's transfer runs inside wine's wininet.dll, so the
# figure shows what a user of the Windows build under wine can expect.
#
#   bench/uploader-wine/run.sh [WIN32_BUILD_DIR] [NATIVE_BUILD_DIR] [ROUNDS]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
wbuild=$(cd "${1:-$top/build/win32}" 2>/dev/null && pwd) || true
nbuild=$(cd "${2:-$top/build/native}" 2>/dev/null && pwd) || true
rounds=${3:-5}
exe=$wbuild/bin/orvane3uploader.exe
linux=$nbuild/bin/orvane3uploader
if [ ! -f "$exe" ] || [ ! -x "$linux" ] || ! command -v wine >/dev/null; then
    echo "skipped: needs build/win32/bin/orvane3uploader.exe, build/native/bin/orvane3uploader and wine"
    exit 0
fi

. "$top/bench/uploader/ftpbench.sh"
ftpbench_start uploader-wine-bench
mkdir -p "$work/empty/files"

now() { date +%s.%N; }
check() {
    local n
    n=$(find "$work/root" -type f | wc -l)
    [ "$n" = "$1" ] || { echo "incomplete upload ($n files)" >&2; exit 1; }
    rm -f "$work/root"/*
}
# run DIR PROGRAM...: the dialogue of menu function 1 without the reset.
run() {
    local dir=$1; shift
    (cd "$dir" && printf '127.0.0.1\r\n1\r\nn\r\n\r\n' | ORV_UPLOADER_FTP_PORT=$port "$@" > "$work/out")
    iconv -f CP932 -t UTF-8 "$work/out" 2>/dev/null | grep -q 'ファイル転送が完了しました。' ||
        grep -q 'ファイル転送が完了しました。' "$work/out" || { echo "upload failed:" >&2; cat "$work/out" >&2; exit 1; }
}

# The prefix's first start and its server are not part of any round.
run "$work/empty" "$top/cmake/wine-run" "$exe"
check 0

declare -a ratios ls ws zs
printf '%-6s %10s %10s %10s %8s\n' round linux_s exe_s wine0_s ratio
for r in $(seq "$rounds"); do
    t0=$(now); run "$work/pc" "$linux"; t1=$(now); check 20
    t2=$(now); run "$work/pc" "$top/cmake/wine-run" "$exe"; t3=$(now); check 20
    t4=$(now); run "$work/empty" "$top/cmake/wine-run" "$exe"; t5=$(now); check 0
    l=$(awk "BEGIN {print $t1 - $t0}"); w=$(awk "BEGIN {print $t3 - $t2}"); z=$(awk "BEGIN {print $t5 - $t4}")
    ratio=$(awk "BEGIN {d = $w - $z; if (d < 0) d = 0; print d / $l}")
    ratios+=("$ratio") ls+=("$l") ws+=("$w") zs+=("$z")
    printf '%-6s %10.3f %10.3f %10.3f %8.3f\n' "$r" "$l" "$w" "$z" "$ratio"
done
median=$(ftpbench_median "${ratios[@]}")
printf 'median ratio exe (less wine start-up)/linux: %.3f\n' "$median"
# The report lines scripts/bench collects (bench/README.md). No goal; the ratio is
# the median of the rounds' ratios, as above.
"$top/scripts/bench-result" uploader-wine "FTP upload 20 x 2.5 MiB, exe less wine start-up" \
    "$(awk -v w="$(ftpbench_median "${ws[@]}")" -v z="$(ftpbench_median "${zs[@]}")" 'BEGIN {print w - z}')" "$(ftpbench_median "${ls[@]}")" \
    "Linux build, same server" s - "$median"
"$top/scripts/bench-result" uploader-wine "wine start-up and dialogue" "$(ftpbench_median "${zs[@]}")" - - s -
