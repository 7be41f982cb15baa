#!/bin/bash
# scripts/lint-shell and the report helpers of appliance/lib.sh, on scripts and
# checks made here: a finding must fail the lint and a clean script pass it, a
# missing shellcheck must be "not run" (77) in one line; fail must count, expect and
# same must tell a match from a miss, within must give up at its bound.
# shellcheck disable=SC2016  # the scripts and the inner shell's commands expand when they run
set -u  # not -e: a failed check is counted and reported, and the run goes on to the next one
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=appliance/lib.sh
. "$top/appliance/lib.sh"
t=$(mktemp -d "${TMPDIR:-/tmp}/lint-shell-test.XXXXXX")
trap 'rm -rf "$t"' EXIT
lint=$top/scripts/lint-shell

# --- the lint -------------------------------------------------------------------------
printf '#!/bin/sh\necho $1\n' >"$t/unquoted.sh"
printf '#!/bin/sh\necho "$1"\n' >"$t/clean.sh"
printf '#!/bin/sh\n# shellcheck disable=SC2086  # split on purpose\necho $1\n' >"$t/silenced.sh"
for c in "unquoted.sh:1:SC2086" "clean.sh:0:no findings" "silenced.sh:0:no findings"; do
    f=${c%%:*} want=${c#*:}; want=${want%%:*} re=${c##*:}
    out=$("$lint" "$t/$f" 2>&1); rc=$?
    if [ $rc = "$want" ] && [[ $out == *"$re"* ]]; then ok "lint $f: exit $rc"; else fail "lint $f: exit $rc, want $want: $out"; fi
done
# Without shellcheck on PATH (only what the script itself needs).
mkdir "$t/bin"
for c in bash dirname git; do ln -s "$(command -v $c)" "$t/bin/$c"; done
out=$(env PATH="$t/bin" "$lint" "$t/unquoted.sh" 2>&1); rc=$?
same "lint without shellcheck: not run" 77 "$rc"
expect "lint without shellcheck: one line" '^lint-shell: shellcheck is not installed[^'$'\n'']*$' "$out"

# --- the report helpers, in a shell of their own ----------------------------------------
out=$(bash -c '. "$1"; expect a "^x+$" xxx; expect b "^x+$" xy; same c 1 1; same d 1 2; fail e; echo "n=$failures"' \
    /x/helpers.sh "$top/appliance/lib.sh" 2>&1)
same "expect, same and fail: ok and FAIL lines, failures counted" \
    "$(printf '%s\n' "helpers: ok: a: xxx" "helpers: FAIL: b: got 'xy', want /^x+\$/" "helpers: ok: c" "helpers: FAIL: d: got '2', want '1'" "helpers: FAIL: e" "n=3")" \
    "$out"
: >"$t/later"
( sleep 1; echo ready >"$t/later" ) &
if within 10 test -s "$t/later"; then ok "within: true once the command succeeds"; else fail "within: gave up on a command that succeeded"; fi
if within 1 false; then fail "within: true for a command that never succeeds"; else ok "within: false at its bound"; fi
wait

if [ $failures = 0 ]; then say "all checks passed"; fi
exit $((failures > 0))
