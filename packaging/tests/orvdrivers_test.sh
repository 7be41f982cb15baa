#!/bin/bash
# The init script against start configurations, one case a row: which drivers it
# starts, with which arguments, in which order. The drivers are stand-ins that
# record their command line.
set -u
script=$(cd "$(dirname "$0")/.." && pwd)/appliance/orvdrivers
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
D=$tmp/drivers
mkdir -p "$D/gatex" "$D/vexa/zr"
for p in gatex/gatex1d gatex/gatex2d vexa/zr/ZR1.sh; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/started"\n' "${p##*/}" "$tmp" >"$D/$p"
    chmod +x "$D/$p"
done
G1="gatex1d $D/gatex/gatex1d.conf" G2="gatex2d $D/gatex/gatex2d.conf" ZR="ZR1.sh start"
failures=0

# check NAME CONFIG(printf format) EXPECTED(lines joined by "|")
check() {
    local name=$1 conf=$2 want=$3 got pg
    rm -f "$tmp/started"
    printf "$conf" >"$tmp/start.conf"
    # The script runs in a process group of its own (setsid: this shell's child is
    # no group leader, so setsid neither forks nor returns early), and the drivers
    # it starts in the background stay in that group.
    ORV_START_CONF=$tmp/start.conf ORV_DRIVERS=$D \
        setsid bash -c 'echo $$ >"$1"; exec "$2" start' _ "$tmp/pgid" "$script" >"$tmp/out" 2>&1
    # Wait (bounded, 10 s) until every process of the group has ended: then each
    # driver that was started, and no other, has recorded itself.
    pg=$(cat "$tmp/pgid")
    for _ in $(seq 200); do
        pgrep -g "$pg" >/dev/null || break
        sleep 0.05
    done
    got=$(sort "$tmp/started" 2>/dev/null | paste -sd'|')
    want=$(tr '|' '\n' <<<"$want" | sed '/^$/d' | sort | paste -sd'|')
    if [ "$got" = "$want" ]; then
        echo "ok: $name"
    else
        echo "FAIL: $name: started [$got], want [$want]"; cat "$tmp/out"; failures=$((failures + 1))
    fi
}

check "all three enabled"          '[DRIVER]\nmewtocol=1\nnodenet=1\nsensornet=1\n' "$G1|$G2|$ZR"
check "all off"                    '[DRIVER]\nmewtocol=0\nnodenet=0\nsensornet=0\n' ""
check "CR LF lines and blanks"     '[DRIVER]\r\n  mewtocol = 1 \r\nnodenet\t=\t0\r\n' "$G1"
check "flags of another section"   '[OTHER]\nmewtocol=1\nsensornet=1\n[DRIVER]\nnodenet=1\n' "$G2"
check "only exactly 1 enables"     '[DRIVER]\nmewtocol=01\nnodenet=yes\nsensornet=\n' ""
check "a later line overrides"     '[DRIVER]\nmewtocol=1\nmewtocol=0\nnodenet=0\nnodenet=1\n' "$G2"
check "comment lines"              '[DRIVER]\n;mewtocol=1\n#sensornet=1\n' ""
check "last line without line end" '[DRIVER]\nsensornet=1' "$ZR"
check "section given twice"        '[DRIVER]\nmewtocol=1\n[X]\nnodenet=1\n[DRIVER]\nsensornet=1\n' "$G1|$ZR"
check "a longer key is not a flag" '[DRIVER]\nmewtocolx=1\nxnodenet=1\n' ""
check "no section at all"          'mewtocol=1\nnodenet=1\n' ""

# No configuration: an error, nothing started.
rm -f "$tmp/started"
ORV_START_CONF=$tmp/none.conf ORV_DRIVERS=$D "$script" start >"$tmp/out" 2>&1; rc=$?
if [ $rc = 1 ] && grep -q "cannot read the start configuration $tmp/none.conf" "$tmp/out" && [ ! -e "$tmp/started" ]; then
    echo "ok: missing configuration"
else
    echo "FAIL: missing configuration: exit $rc: $(cat "$tmp/out")"; failures=$((failures + 1))
fi
"$script" stop >/dev/null 2>&1; rc=$?
[ $rc = 2 ] && echo "ok: unknown command" || { echo "FAIL: unknown command exit $rc"; failures=$((failures + 1)); }
exit $failures
