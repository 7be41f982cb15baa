#!/bin/bash
# The rig's /tmp is its own, yet what a run works from under the host's /tmp must stay
# visible in it: the folder of a clone there (paths with spaces included) and what
# --see names, such as the virtual Orvane's disk. Writes there reach the host; the
# rest of the host's /tmp stays hidden.
set -eu
rig=$(cd "$(dirname "$0")" && pwd)/rig
[ "$(id -u)" = 0 ] || { echo "see_test: needs root (the rig's namespaces); skipping"; exit 77; }
seen=$(mktemp -d "/tmp/rig see test.XXXXXX")
hidden=$(mktemp -d /tmp/rig-hidden.XXXXXX)
trap 'rm -rf "$seen" "$hidden"' EXIT
echo disk >"$seen/disk.img"
echo other >"$hidden/file"

set +e
# shellcheck disable=SC2016  # the inner shell expands its own arguments
out=$("$rig" --see "$seen/disk.img" -- bash -c '
    d=$1 h=$2
    [ "$(cat "$d/disk.img")" = disk ] || { echo "disk not visible"; exit 1; }
    [ -e "$h/file" ] && { echo "a path not asked for is visible"; exit 1; }
    echo written >"$d/disk.img"
    mountpoint -q /tmp || { echo "/tmp is not the rig'"'"'s own"; exit 1; }' _ "$seen" "$hidden" 2>&1)
rc=$?
set -e
if [ $rc = 77 ]; then echo "$out"; exit 77; fi
[ $rc = 0 ] || { echo "FAIL: inside the rig: $out (exit $rc)"; exit 1; }
[ "$(cat "$seen/disk.img")" = written ] || { echo "FAIL: the write inside did not reach the host"; exit 1; }
# And a bad option is refused, not taken for the command.
if "$rig" --see 2>/dev/null; then echo "FAIL: --see without a path was taken"; exit 1; fi
echo "see_test: passed"
