#!/bin/bash
# The front door as a new user meets it: a fresh clone of the checked-out commit, in a
# folder under /tmp whose path holds a space (both on purpose: an ordinary place for a
# checkout, and a path that unquoted shell breaks), where nothing is built yet.
#   - `make demo` alone must build and print the table, every leaf of the three
#     drivers read OK with the simulators' values (expected-table.txt);
#   - the dry runs of the other targets must contain the build of what they run;
#   - as a user without root, `make demo` must say in one line that it needs root,
#     and fail, before it builds anything.
# Only committed work is seen: the clone is of HEAD. Its build is removed afterwards.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
tmp=$(mktemp -d "/tmp/orv front door.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
clone=$tmp/orvane
failures=0
fail() { echo "frontdoor: FAIL: $*"; failures=$((failures + 1)); }
say() { echo "frontdoor: $*"; }

git clone -q --no-hardlinks "$top" "$clone"
git -C "$clone" checkout -q --detach "$(git -C "$top" rev-parse HEAD)"
say "clone of $(git -C "$clone" rev-parse --short HEAD) in '$clone'"

# --- without root: one line, a failure, nothing built ------------------------------
chmod 755 "$tmp"
if id nobody >/dev/null 2>&1 && command -v setpriv >/dev/null; then
    set +e
    out=$(cd "$clone" && setpriv --reuid=nobody --regid=nogroup --clear-groups make demo 2>&1)
    rc=$?
    set -e
    if [ $rc = 0 ] || [ "$(grep -c 'needs root' <<<"$out")" != 1 ] || [ -d "$clone/build" ]; then
        fail "make demo without root: exit $rc, build/ $([ -d "$clone/build" ] && echo made || echo not made):"
        echo "$out"
    else
        say "without root: $(grep 'needs root' <<<"$out")"
    fi
else
    say "without root: not checked (no user nobody or no setpriv here)"
fi

# --- the dry runs: each target builds what it runs ---------------------------------
# want TARGET PATTERN...: `make -n TARGET` names each pattern (fixed strings).
want() {
    local target=$1 dry p
    shift
    dry=$(cd "$clone" && make -n "$target" 2>&1) || { fail "make -n $target failed: $dry"; return; }
    for p in "$@"; do
        grep -qF -- "$p" <<<"$dry" || fail "make -n $target does not contain '$p'"
    done
}
native="cmake --build --preset native"
want all ./scripts/install-deps "$native"
want demo ./scripts/install-deps "$native" ./scripts/demo
want bench ./scripts/install-deps "$native" "cmake --build --preset win32" ./appliance/build ./scripts/bench
want reliability ./scripts/install-deps "$native" ./appliance/build "ctest --preset native" ./appliance/tests/cut_update.sh
want demo-appliance ./scripts/install-deps "$native" ./appliance/build ./appliance/run
want package ./scripts/install-deps "./packaging/mkpackage --build"
want appliance ./scripts/install-deps ./appliance/build

# --- make demo, nothing built before ------------------------------------------------
t0=$SECONDS
set +e
(cd "$clone" && make demo) >"$tmp/demo.out" 2>&1
rc=$?
set -e
say "make demo: exit $rc after $((SECONDS - t0)) s"
if [ $rc != 0 ]; then
    fail "make demo exited $rc"
    tail -n 40 "$tmp/demo.out"
fi
# The table's rows: DRIVER LEAF TOQ VALUE [TIME] STATUS.
awk '/^DRIVER +LEAF/ { on = 1; next }
     on && ($1 == "gatex1d" || $1 == "gatex2d" || $1 == "ZR1Communicator") { print $1, $2, $3, $4, $NF }' \
    "$tmp/demo.out" >"$tmp/rows"
awk '$NF != "OK"' "$tmp/rows" >"$tmp/bad"
if [ -s "$tmp/bad" ]; then
    fail "rows not read OK:"
    cat "$tmp/bad"
fi
grep -v '^#' "$here/expected-table.txt" >"$tmp/want"
awk '{ print $1, $2, $3, $4 }' "$tmp/rows" >"$tmp/got"
if ! diff -u "$tmp/want" "$tmp/got" >"$tmp/diff"; then
    fail "the table differs from the simulators' values (- expected, + shown):"
    cat "$tmp/diff"
fi
for d in gatex1d gatex2d ZR1Communicator; do
    say "$d: $(grep -c "^$d " "$tmp/rows") leaves read OK with the simulators' values" 
done

if [ $failures != 0 ]; then
    echo "--- make demo's output"
    head -n 30 "$tmp/demo.out"
    exit 1
fi
say "passed"
