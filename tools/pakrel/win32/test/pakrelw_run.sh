#!/bin/sh
# Runs real pakrelW.exe packages under wine and a virtual X server: the shipped
# settings (hidden dialog, no questions, "%temp%", wait, carried program run,
# extracted files and folder removed), the general extractor mode with options
# and an archive path, and a package without a block.
# usage: pakrelw_run.sh WINE_RUN PAKRELW_EXE CARRIED_EXE PAKREL_HOST WORKDIR
set -u
run=$1 exe=$2 carried=$3 pakrel=$4 work=$5
[ -x "$pakrel" ] || { echo "no host pakrel at $pakrel (build the native preset first)"; exit 77; }
command -v gcab >/dev/null || { echo "gcab missing"; exit 77; }
rm -rf "$work" && mkdir -p "$work/src/files" && cd "$work" || exit 1
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi; }
wine_path() { printf 'Z:%s' "$1" | tr / '\\'; }
wrun() { timeout 120 xvfb-run -a "$run" "$@"; }

cp "$carried" src/carried.exe
printf 'hello\n' > src/files/a.txt
(cd src && gcab -c -z ../pkg.cab carried.exe files/a.txt) || exit 1

# 1. Shipped settings: %temp% + wait, program with a parameter.
marker=$(wine_path "$work/marker.txt")
"$pakrel" pack --image "$exe" --cab pkg.cab -o ship.exe --dest '%temp%' \
    --program "carried.exe $marker" --no-questions --wait --hide >/dev/null || exit 1
wrun "$work/ship.exe"; rc=$?
check "shipped package exits 0" '[ $rc -eq 0 ]'
check "carried program ran" '[ -f marker.txt ]'
check "it ran in ~ship.exe under the temporary folder" 'head -1 marker.txt | tr -d "\r" | grep -q "~ship.exe$"'
tmpwin=$(head -1 marker.txt 2>/dev/null | tr -d '\r')
tmpunix=$(printf '%s' "$tmpwin" | sed 's|^C:|'"$WINEPREFIX_DIR"'/drive_c|; s|\\|/|g')
check "extracted folder removed ($tmpunix)" '[ -n "$tmpwin" ] && [ ! -e "$tmpunix" ]'

# 2. General extractor mode: options and an archive path; the archive's folder is the destination.
mkdir -p gen && cp pkg.cab gen/
wrun "$exe" /h /o /n "$(wine_path "$work/gen/pkg.cab")"; rc=$?
check "extractor mode exits 0" '[ $rc -eq 0 ]'
check "extractor mode wrote the files" 'cmp -s gen/files/a.txt src/files/a.txt && cmp -s gen/carried.exe src/carried.exe'

# 3. No block room: an image that ends with its last section ends at once with -1.
python3 -c 'import struct,sys
d=open(sys.argv[1],"rb").read(); pe=struct.unpack_from("<I",d,0x3C)[0]
n,opt=struct.unpack_from("<H",d,pe+6)[0],struct.unpack_from("<H",d,pe+20)[0]
last=pe+24+opt+40*(n-1); size,ptr=struct.unpack_from("<II",d,last+16)
open(sys.argv[2],"wb").write(d[:ptr+size])' "$exe" bare.exe || exit 1
wrun "$work/bare.exe"; rc=$?
check "package without a block exits -1" '[ $rc -eq 255 ]'
exit $fail
