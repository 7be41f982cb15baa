#!/bin/bash
# Extraction benchmark of the cabinet engine: a 200 MiB MSZIP cabinet of mixed
# data (text, program-like binaries, random) made by gcab, extracted by pakrel,
# cabextract, 7z and bsdtar in the same run, alternating; wall time and peak
# memory (maximum resident set size) of each, as ratios against cabextract.
# Then the CRC-32 throughput of the integrity check's routine.
#   bench/pakrel/run.sh [BUILD_DIR] [ROUNDS] [MIB]
set -eu
build=${1:-build/native}
rounds=${2:-3}
mib=${3:-200}
pakrel=$build/bin/pakrel
bench=$build/bin/pakrel_crc_bench
[ -x "$pakrel" ] || { echo "build pakrel first: cmake --build --preset native --target pakrel pakrel_crc_bench" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/pakrel-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

# Mixed data: a third text, a third binary-like (compressible runs and tables),
# a third random, in 4 MiB files.
mkdir -p "$work/src"
python3 - "$work/src" "$mib" <<'PY'
import os, random, sys
out, mib = sys.argv[1], int(sys.argv[2])
rnd = random.Random(1)
words = b"meter reading node leaf value kWh voltage current power factor gateway scan ".split()
for i in range(mib // 4):
    kind = i % 3
    if kind == 0:
        data = b" ".join(rnd.choice(words) for _ in range(800000))[: 4 << 20]
    elif kind == 1:
        block = bytes(rnd.randrange(256) for _ in range(4096))
        data = b"".join(block[: rnd.randrange(64, 4096)] + bytes(rnd.randrange(1, 512)) for _ in range(3000))[: 4 << 20]
    else:
        data = os.urandom(4 << 20)
    with open(os.path.join(out, "f%03d.bin" % i), "wb") as f:
        f.write(data)
PY
(cd "$work/src" && gcab -c -z "$work/bench.cab" ./*.bin)
size=$(stat -c %s "$work/bench.cab")
echo "cabinet: $size bytes, $(find "$work/src" -maxdepth 1 -type f | wc -l) files"

measure() {  # name command... -> "seconds maxrss_kib"
    local name=$1; shift
    rm -rf "$work/out"; mkdir -p "$work/out"
    /usr/bin/time -f "%e %M" -o "$work/time.$name" "$@" >/dev/null 2>&1
    cat "$work/time.$name"
}
declare -A T M
tools=(pakrel cabextract 7z bsdtar)
for t in "${tools[@]}"; do T[$t]=""; M[$t]=""; done
# Round 0 only warms the page cache (the cabinet was just written).
for r in $(seq 0 "$rounds"); do
    for t in "${tools[@]}"; do
        case $t in
            pakrel) read -r s m < <(measure "$t" "$pakrel" extract -d "$work/out" "$work/bench.cab") ;;
            cabextract) read -r s m < <(measure "$t" cabextract -q -d "$work/out" "$work/bench.cab") ;;
            7z) read -r s m < <(measure "$t" 7z x -y -o"$work/out" "$work/bench.cab") ;;
            bsdtar) read -r s m < <(measure "$t" bsdtar -x -C "$work/out" -f "$work/bench.cab") ;;
        esac
        [ "$r" -gt 0 ] || continue
        T[$t]="${T[$t]} $s"; M[$t]="${M[$t]} $m"
    done
    # pakrel's output is checked against the source once per round.
    "$pakrel" extract -d "$work/check" "$work/bench.cab" >/dev/null
    diff -r "$work/src" "$work/check" >/dev/null || { echo "pakrel output differs" >&2; exit 1; }
    rm -rf "$work/check"
done
median() { tr ' ' '\n' | grep -v '^$' | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ce_t=$(echo "${T[cabextract]}" | median); ce_m=$(echo "${M[cabextract]}" | median)
printf '%-11s %9s %9s %12s %9s\n' tool "time(s)" "time/ce" "maxrss(KiB)" "rss-ce"
for t in "${tools[@]}"; do
    mt=$(echo "${T[$t]}" | median); mm=$(echo "${M[$t]}" | median)
    printf '%-11s %9s %9.2f %12s %+9d\n' "$t" "$mt" "$(echo "$mt / $ce_t" | bc -l)" "$mm" "$((mm - ce_m))"
done
speed=$(echo "$ce_t / $(echo "${T[pakrel]}" | median)" | bc -l)
printf 'pakrel is %.2fx as fast as cabextract (median of %d rounds)\n' "$speed" "$rounds"
# Report lines for scripts/bench (bench/README.md).
R=$(dirname "$0")/../../scripts/bench-result
pk_t=$(echo "${T[pakrel]}" | median); pk_m=$(echo "${M[pakrel]}" | median)
"$R" pakrel "extract ${mib} MiB MSZIP vs cabextract" "$pk_t" "$ce_t" cabextract s "ratio<=1"
for t in 7z bsdtar; do
    "$R" pakrel "extract ${mib} MiB MSZIP vs $t" "$pk_t" "$(echo "${T[$t]}" | median)" "$t" s -
done
"$R" pakrel "extract peak RSS over cabextract" "$((pk_m - ce_m))" - "(cabextract $ce_m KiB)" KiB "ours<=4096"
if [ -x "$bench" ]; then
    "$bench" | tee "$work/crc.out"
    # "crc-32, N-byte pieces: X GB/s (crc ...)"
    while read -r _ piece _ gbs _; do
        "$R" pakrel "crc-32 ${piece%-byte}-byte pieces" "$gbs" - - GB/s "ours>1"
    done < "$work/crc.out"
fi
