#!/bin/bash
# drvq against the real daemons: the demo's appliance (simulators, gatex1d, gatex2d,
# serlink + ZR1Communicator) is started in the rig, its table checked, then drvq's
# dialects, exit codes and JSON output are checked against the running daemons.
set -u  # not -e: a failed check is counted and reported, and the run goes on to the next one
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=appliance/lib.sh
. "$top/appliance/lib.sh"
if [ "${1:-}" != --inside ]; then
    out=$(DEMO_THEN="'$0' --inside" "$top/tests/rig/rig" -- "$top/scripts/demo-rig" 2>&1)
    rc=$?
    printf '%s\n' "$out"
    [ $rc = 77 ] && exit 77
    for want in '^gatex1d +1_1 +ipc +[0-9.]+ +OK$' '^gatex1d +2_2 +pf +[0-9]+ +OK$' \
                '^gatex2d +0A0B0C00000001D4_1:127.0.0.1:1502 +D4_1 +[0-9.]+ +20[0-9-]+_[0-9:]+ +OK$' \
                '^ZR1Communicator +[0-9A-F]{6}(00|20)000001C0_[01] +C0_[01] +00010000 +20[0-9-]+_[0-9:]+ +OK$' \
                '^ZR1Communicator +[0-9A-F]{6}(00|20)000003C8_[01] +C8_[01] +000300[0-9]{2} +20[0-9-]+_[0-9:]+ +OK$' \
                '^drvq_test: all checks passed$'; do
        grep -Eq "$want" <<<"$out" || fail "missing: $want"
    done
    exit $failures
fi

# Inside the rig, with the appliance running.
bin=$top/build/native/bin
[ -x "$bin/drvq" ] || bin=$(dirname "$(command -v drvq 2>/dev/null || echo /)")
check() {  # check DESCRIPTION WANT-EXIT WANT-REGEX -- drvq args
    local what=$1 code=$2 re=$3; shift 4
    local got rc
    got=$("$bin/drvq" "$@" 2>&1); rc=$?
    if [ $rc != "$code" ] || ! grep -Eq "$re" <<<"$got"; then
        fail "$what (exit $rc): $got"
    fi
}
check "raw hello" 0 '^\?cmd=hello&status=OK$' -- '?cmd=hello'
check "gatex1d value" 0 '^\?cmd=get_value&status=OK&val=0\.140$' -- value 1 1 ip
check "gatex1d bad toq" 1 'EINVALTOQ: the type of quantity is missing' -- value 1 1 nope
check "gatex1d no meter" 1 'ENONODE' -- value 7 1 ip
check "meta line" 0 '^!V\. OK, gatex1d version:1\.18' -- '!V'
check "zr dialect" 0 '^\?cmd=hello&status=OK$' -- --zr '?cmd=hello'
check "zr bad key" 1 'EINVALIDKEY' -- --zr value 99 1 C0_1
check "gatex2d json" 0 '^\{"cmd":"get_value","status":"OK","val":"[0-9.]+","time":"20' -- --gatex2 --json value 127.0.0.1:1502 0A0B0C00000001D4_1 D4_1
check "leaves json" 0 '"driver":"ZR1Communicator"' -- --all --json leaves
check "unreachable" 3 'cannot connect' -- -p 1999 hello
[ $failures = 0 ] && say "all checks passed"
exit $failures
