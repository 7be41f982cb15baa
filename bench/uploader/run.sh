#!/bin/bash
# Upload time of orvane3uploader against curl -T, both sending the same tree of
# 20 files (50 MiB in all) to the same local FTP server (pyftpdlib on
# 127.0.0.1) in the same run. Prints each round and the median ratio
# uploader/curl. The goal is at most 1.1.
#
#   bench/uploader/run.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$top/build/native}" && pwd)
rounds=${2:-5}
uploader=$build/bin/orvane3uploader
[ -x "$uploader" ] || { echo "no $uploader: build the native preset first" >&2; exit 1; }

# shellcheck source=bench/uploader/ftpbench.sh
. "$here/ftpbench.sh"
ftpbench_start uploader-bench

# shellcheck disable=SC2012  # the benchmark's own files, data01.bin to data20.bin
list=$(cd "$work/pc/files" && ls | paste -sd, -)
now() { date +%s.%N; }
check() {
    local n
    n=$(find "$work/root" -type f | wc -l)
    { [ "$n" = 20 ] && [ "$(du -sb "$work/root" | cut -f1)" -ge 52428800 ]; } || { echo "incomplete upload ($n files)" >&2; exit 1; }
    rm -f "$work/root"/*
}

run_uploader() {
    (cd "$work/pc" && printf '127.0.0.1\n1\nn\n\n' | ORV_UPLOADER_FTP_PORT=$port "$uploader" > "$work/uploader.out")
    grep -q 'ファイル転送が完了しました。' "$work/uploader.out" || { echo "uploader failed:" >&2; cat "$work/uploader.out" >&2; exit 1; }
}
run_curl() {
    (cd "$work/pc/files" && curl -s -S --user root:brolt362 -T "{$list}" "ftp://127.0.0.1:$port/")
}

declare -a ratios us cs
printf '%-6s %12s %12s %8s\n' round uploader_s curl_s ratio
for r in $(seq "$rounds"); do
    t0=$(now); run_uploader; t1=$(now); check
    t2=$(now); run_curl; t3=$(now); check
    u=$(awk "BEGIN {print $t1 - $t0}"); c=$(awk "BEGIN {print $t3 - $t2}")
    ratio=$(awk "BEGIN {print $u / $c}")
    ratios+=("$ratio") us+=("$u") cs+=("$c")
    printf '%-6s %12.3f %12.3f %8.3f\n' "$r" "$u" "$c" "$ratio"
done
median=$(ftpbench_median "${ratios[@]}")
printf 'median ratio uploader/curl: %.3f (goal <= 1.1)\n' "$median"
# The report line scripts/bench collects (bench/README.md): the medians of both
# times, and as ratio the median of the rounds' ratios, which the goal is about.
"$top/scripts/bench-result" uploader "FTP upload 20 x 2.5 MiB" "$(ftpbench_median "${us[@]}")" "$(ftpbench_median "${cs[@]}")" \
    "curl -T, same server" s "ratio<=1.1" "$median"
