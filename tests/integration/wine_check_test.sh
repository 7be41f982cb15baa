#!/bin/bash
# cmake/wine-check and cmake/wine-run on the ways wine can fail to start, with
# stand-in loaders (no wine is started): each case must end within its bound, exit 1
# and say in one line what is missing; a loader that starts the probe passes.
# usage: wine_check_test.sh TOP WORKDIR
# shellcheck disable=SC2016  # the stand-in loaders' bodies expand when they run, not here
set -u  # not -e: a failed case is counted and reported, and the run goes on to the next one
top=$1 work=$2
rm -rf "$work" && mkdir -p "$work/bin"
failures=0
say() { printf '%s\n' "$*"; }
# case NAME WANT_RC REGEX SECONDS ENV... -- ARGS...: runs wine-check, checks exit
# code, the last line and the time it took.
case_() {
    local name=$1 want=$2 re=$3 bound=$4; shift 4
    local envs=() t0 out rc took
    while [ "$1" != -- ]; do envs+=("$1"); shift; done; shift
    t0=$(date +%s)
    out=$(env "${envs[@]}" timeout 120 "$top/cmake/wine-check" "$@" 2>&1); rc=$?
    took=$(( $(date +%s) - t0 ))
    local last=${out##*$'\n'}
    if [ $rc = "$want" ] && [[ $last =~ $re ]] && [ $took -le "$bound" ]; then
        say "ok: $name (${took} s): $last"
    else
        say "FAIL: $name: exit $rc (want $want), ${took} s (bound $bound), output:"; say "$out"
        failures=$((failures + 1))
    fi
}
loader() {  # loader NAME BODY: a stand-in for the wine loader
    printf '#!/bin/sh\n%s\n' "$2" >"$work/bin/$1" && chmod +x "$work/bin/$1"
}
probe=$work/probe.exe
: >"$probe"
pfx=$work/pfx && mkdir -p "$pfx" && : >"$pfx/system.reg"      # a made prefix
# wine-run runs "LOADER wineboot -i" for a new prefix, then "LOADER PROGRAM".
loader good 'case "$1" in *wineboot) mkdir -p "$WINEPREFIX" && : >"$WINEPREFIX/system.reg" ;; *) echo "wine-probe: ${WINEARCH#win}-bit" ;; esac'
loader noexec 'echo "/usr/lib/wine/wine: cannot execute binary file: Exec format error" >&2; exit 126'
loader hang 'exec sleep 600'
loader noboot 'case "$1" in *wineboot) echo "wine: could not load kernel32.dll, status c0000135" >&2; exit 1 ;; esac'
loader nowindow 'if [ "${2:-}" = --window ]; then echo "wine-probe: no window (error 0)"; exit 3; fi; echo "wine-probe: 64-bit"'
mkdir -p "$work/debian" && : >"$work/debian/wine64" && chmod +x "$work/debian/wine64"

case_ "a loader that starts the probe (win64)" 0 'ok: a 64-bit Windows program starts' 20 \
    ORV_WINE="$work/bin/good" ORV_WINEPREFIX="$pfx" -- win64 "$probe"
case_ "a new prefix is made first" 0 'ok: a 32-bit Windows program starts' 20 \
    ORV_WINE="$work/bin/good" ORV_WINEPREFIX="$work/new" -- win32 "$probe"
case_ "kernel without 32-bit programs" 1 "kernel runs no 32-bit programs" 20 \
    ORV_WINE="$work/bin/noexec" ORV_WINEPREFIX="$pfx" -- win32 "$probe"
case_ "32-bit wine not installed (Debian layout)" 1 'wine32:i386' 20 \
    ORV_DEBIAN_WINE_DIR="$work/debian" ORV_WINEPREFIX="$pfx" -- win32 "$probe"
case_ "a start that hangs is cut" 1 'did not start under wine within its time \(2 s' 30 \
    ORV_WINE="$work/bin/hang" ORV_WINEPREFIX="$pfx" ORV_WINE_START_TIMEOUT=2 ORV_WINEBOOT_TIMEOUT=3 -- win64 "$probe"
case_ "wine missing" 1 '/nonexistent/wine64 is missing \(Debian package wine' 20 \
    ORV_WINE=/nonexistent/wine64 ORV_WINEPREFIX="$pfx" -- win64 "$probe"
case_ "a prefix that cannot be made" 1 'cannot make the win64 wine prefix .*could not load kernel32.dll' 20 \
    ORV_WINE="$work/bin/noboot" ORV_WINEPREFIX="$work/broken" -- win64 "$probe"
case_ "no window on the virtual display" 1 'with a window on a virtual display .*no window' 60 \
    ORV_WINE="$work/bin/nowindow" ORV_WINEPREFIX="$pfx" -- win64 "$probe" --display
case_ "no probe program" 1 'probe program .* is missing' 5 -- win64 "$work/none.exe"
exit $failures
