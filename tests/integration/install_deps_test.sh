#!/bin/bash
# scripts/install-deps against a package system that misbehaves the way a real one
# does: a mirror in mid-sync that fails one index for a while or for good, a 32-bit
# wine whose i386 libraries do not match, a required package that cannot be had.
# apt-get, dpkg, dpkg-query, locale, localedef and id are stand-ins on PATH that keep
# their state in a folder of this test; nothing on the machine is touched.
# shellcheck disable=SC2015  # "A && B || fail": fail when any of the conditions is false, as meant
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=appliance/lib.sh
. "$top/appliance/lib.sh"
t=$(mktemp -d "${TMPDIR:-/tmp}/install-deps-test.XXXXXX")
trap 'rm -rf "$t"' EXIT
stubs=$t/bin
mkdir -p "$stubs"

# --- the stand-ins ----------------------------------------------------------------
cat >"$stubs/dpkg-query" <<'EOF'
#!/bin/bash
# dpkg-query -W -f=FMT PKG: installed unless listed in missing
pkg=${!#}
grep -qxF -- "$pkg" "$STATE/missing" && exit 1
echo "install ok installed"
EOF
cat >"$stubs/dpkg" <<'EOF'
#!/bin/bash
case "$1" in
--print-foreign-architectures) cat "$STATE/archs" ;;
--add-architecture) echo "$2" >>"$STATE/archs"; echo "dpkg --add-architecture $2" >>"$STATE/calls" ;;
*) exit 2 ;;
esac
EOF
cat >"$stubs/apt-get" <<'EOF'
#!/bin/bash
echo "apt-get $*" >>"$STATE/calls"
if [ "$1" = update ]; then
    n=$(( $(cat "$STATE/updates" 2>/dev/null || echo 0) + 1 ))
    echo $n >"$STATE/updates"
    echo "Hit:1 http://archive.invalid/debian bookworm InRelease"
    if [ "$n" -le "${STUB_UPDATE_FAILS:-0}" ]; then
        echo "Err:5 http://archive.invalid/debian-security bookworm-security/main i386 Packages"
        echo "  File has unexpected size (41372 != 41380). Mirror sync in progress? [IP: 192.0.2.1 80]"
        echo "E: Failed to fetch http://archive.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (41372 != 41380). Mirror sync in progress?"
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
        exit 100
    fi
    exit 0
fi
[ "$1" = install ] || exit 2
shift
sim=0 pkgs=()
for a in "$@"; do
    case "$a" in -s) sim=1 ;; -*) ;; *) pkgs+=("$a") ;; esac
done
for p in "${pkgs[@]}"; do
    if grep -qxF -- "$p" "$STATE/broken"; then
        echo "The following packages have unmet dependencies:"
        echo " $p : Depends: lib${p%%:*}:i386 (= 8.0~repack-4) but it is not going to be installed"
        echo "E: Unable to correct problems, you have held broken packages."
        exit 100
    fi
done
[ $sim = 1 ] && exit 0
for p in "${pkgs[@]}"; do
    grep -vxF -- "$p" "$STATE/missing" >"$STATE/missing.new" || true
    mv "$STATE/missing.new" "$STATE/missing"
done
EOF
cat >"$stubs/locale" <<'EOF'
#!/bin/bash
echo C.utf8; [ -e "$STATE/locale" ] && echo ja_JP.utf8; exit 0
EOF
cat >"$stubs/localedef" <<'EOF'
#!/bin/bash
touch "$STATE/locale"; echo "localedef $*" >>"$STATE/calls"
EOF
printf '#!/bin/sh\necho 0\n' >"$stubs/id"
chmod +x "$stubs"/*

# scenario NAME MISSING BROKEN ARCHS UPDATE_FAILS [ENV...]: a fresh state, one run;
# its output in $out, exit status in $rc.
# shellcheck disable=SC2086  # each list is split into one package name a line
scenario() {
    name=$1
    export STATE=$t/$name
    mkdir -p "$STATE"
    printf '%s\n' $2 >"$STATE/missing"
    printf '%s\n' $3 >"$STATE/broken"
    printf '%s\n' $4 >"$STATE/archs"
    : >"$STATE/calls"
    touch "$STATE/locale"
    shift 4
    rerun "$@"
}
rerun() {
    set +e
    out=$(env PATH="$stubs:$PATH" ORV_APT_PAUSE=0 STUB_UPDATE_FAILS="$1" "${@:2}" "$top/scripts/install-deps" 2>&1)
    rc=$?
    set -e
}
has() { grep -qF -- "$1" <<<"$out"; }
installed_now() { ! grep -qxF -- "$1" "$STATE/missing"; }
updates() { cat "$STATE/updates" 2>/dev/null || echo 0; }

# Everything there: no apt at all.
scenario complete "" "" "i386 armhf" 0
[ $rc = 0 ] && [ ! -s "$STATE/calls" ] || fail "complete system: exit $rc, calls: $(cat "$STATE/calls")"

# A fresh machine: both architectures added before the lists are loaded, the locale made.
scenario fresh "cmake wine32:i386" "" "" 0
rm "$STATE/locale"
rerun 0
[ $rc = 0 ] || fail "fresh: exit $rc: $out"
[ "$(head -n 3 "$STATE/calls" | cut -d" " -f1-2 | tr '\n' ,)" = "dpkg --add-architecture,dpkg --add-architecture,apt-get update," ] ||
    fail "fresh: architectures not added before the update: $(cat "$STATE/calls")"
installed_now cmake && installed_now wine32:i386 && [ -e "$STATE/locale" ] || fail "fresh: not all installed"

# A mirror in mid-sync for two tries: the third loads, nothing is said to be missing.
scenario midsync-short "cmake" "" "i386 armhf" 2
[ $rc = 0 ] && [ "$(updates)" = 3 ] && installed_now cmake || fail "short mid-sync: exit $rc, $(updates) updates: $out"
has "apt-get update failed (try 1 of 3)" && has "(try 2 of 3)" || fail "short mid-sync: tries not reported: $out"
has "still fails" && fail "short mid-sync: reported as failing after it loaded"

# A mirror in mid-sync for good: the install goes on and names the failed index and why.
scenario midsync-long "cmake wine32:i386" "" "i386 armhf" 99
[ $rc = 0 ] && [ "$(updates)" = 3 ] && installed_now cmake && installed_now wine32:i386 ||
    fail "long mid-sync: exit $rc, $(updates) updates: $out"
has "bookworm-security/main i386 Packages" && has "Mirror sync in progress?" ||
    fail "long mid-sync: the failed index is not named: $out"

# The 32-bit wine cannot be had: one line, everything else installed, success.
scenario nowine32 "cmake fonts-noto-cjk wine32:i386" "wine32:i386" "i386 armhf" 99
[ $rc = 0 ] && installed_now cmake && installed_now fonts-noto-cjk || fail "no wine32: exit $rc: $out"
[ "$(grep -c '^win32 tests will not run: ' <<<"$out")" = 1 ] && has "wine32:i386 cannot be installed (wine32:i386 : Depends: libwine32:i386" ||
    fail "no wine32: not said in one line with apt's reason: $out"
# ... and it is not tried again at every make, only when asked for.
: >"$STATE/calls"
rerun 0
[ $rc = 0 ] && [ ! -s "$STATE/calls" ] || fail "no wine32, second run: exit $rc, calls: $(cat "$STATE/calls")"
rerun 0 ORV_DEPS_REFRESH=1
grep -q '^apt-get update' "$STATE/calls" && has "win32 tests will not run" || fail "no wine32, refresh: $(cat "$STATE/calls"): $out"

# A required package that cannot be had stops the install, by its name only.
scenario noreq "cmake mbpoll wine32:i386" "mbpoll" "i386 armhf" 0
[ $rc = 1 ] || fail "required missing: exit $rc, want 1: $out"
has "cannot install mbpoll: mbpoll : Depends:" && has "stopped: the packages above are needed (mbpoll)" ||
    fail "required missing: mbpoll not named: $out"
has "cannot install cmake" && fail "required missing: cmake named although it can be installed"
has "win32 tests will not run" && fail "required missing: went on to the optional packages"

if [ $failures = 0 ]; then echo "install-deps: all scenarios passed"; fi
exit $((failures > 0))
