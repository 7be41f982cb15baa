#!/bin/bash
# The init script against start configurations, one case a row: which drivers it
# starts, with which arguments, in which order. The drivers are stand-ins that
# record their command line.
set -u  # not -e: a failed check is counted and reported, and the run goes on to the next one
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=appliance/lib.sh
. "$top/appliance/lib.sh"
script=$top/packaging/appliance/orvdrivers
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
D=$tmp/drivers
mkdir -p "$D/gatex" "$D/vexa/zr"
for p in gatex/gatex1d gatex/gatex2d vexa/zr/ZR1.sh; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/started"\n' "${p##*/}" "$tmp" >"$D/$p"
    chmod +x "$D/$p"
done
G1="gatex1d $D/gatex/gatex1d.conf" G2="gatex2d $D/gatex/gatex2d.conf" ZR="ZR1.sh start"

# check NAME CONFIG(printf format) EXPECTED(lines joined by "|")
check() {
    local name=$1 conf=$2 want=$3 got pg
    rm -f "$tmp/started"
    # shellcheck disable=SC2059  # CONFIG is a printf format, by design of the table
    printf "$conf" >"$tmp/start.conf"
    # The script runs in a process group of its own (setsid: this shell's child is
    # no group leader, so setsid neither forks nor returns early), and the drivers
    # it starts in the background stay in that group.
    # shellcheck disable=SC2016  # $$ and the arguments are the inner shell's
    ORV_START_CONF=$tmp/start.conf ORV_DRIVERS=$D ORV_GOOD=$tmp/good ORV_LOG=$tmp/log ORV_HELLO=false \
        ORV_HELLO_WAIT=1 setsid bash -c 'echo $$ >"$1"; exec "$2" start' _ "$tmp/pgid" "$script" >"$tmp/out" 2>&1
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
        ok "$name"
    else
        fail "$name: started [$got], want [$want]"; cat "$tmp/out"
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
ORV_START_CONF=$tmp/none.conf ORV_DRIVERS=$D ORV_GOOD=$tmp/good ORV_LOG=$tmp/log "$script" start >"$tmp/out" 2>&1; rc=$?
if [ $rc = 1 ] && grep -q "cannot read the start configuration $tmp/none.conf" "$tmp/out" && [ ! -e "$tmp/started" ]; then
    ok "missing configuration"
else
    fail "missing configuration: exit $rc: $(cat "$tmp/out")"
fi
"$script" stop >/dev/null 2>&1; rc=$?
if [ $rc = 2 ]; then
    ok "unknown command"
else
    fail "unknown command exit $rc"
fi

# ---- The check at boot against the packages' manifests, and the last-known-good copy.
# An installed appliance in $R: the boot set in etc/, the driver set in home/drivers/
# (stand-ins that record which build's program ran), each with its manifest as
# packaging/mkpackage writes it. The stand-ins answer hello once they have run.
R=$tmp/root E=$tmp/root/etc H=$tmp/root/home/drivers
manifest() {  # manifest FOLDER NAME MARK
    local sums
    sums=$(cd "$1" && find . -type f ! -name "$2" | LC_ALL=C sort | sed 's|^\./||' | xargs sha256sum)
    printf 'mark %s\n%s\nend\n' "$3" "$sums" >"$1/$2"
}
install_build() {  # install_build MARK: a whole, consistent installation of build MARK
    rm -rf "$R" && mkdir -p "$E/init.d" "$H/gatex" "$H/vexa/zr"
    cp "$script" "$E/init.d/orvdrivers"
    printf '[DRIVER]\nmewtocol=1\nnodenet=0\nsensornet=1\n' >"$E/orvdrivers.conf"
    for p in gatex/gatex1d gatex/gatex2d vexa/zr/ZR1.sh; do
        printf '#!/bin/sh\necho "%s %s" >>"%s/started"\n' "${p##*/}" "$1" "$tmp" >"$H/$p"
        chmod +x "$H/$p"
    done
    echo 'port=1111' >"$H/gatex/gatex1d.conf"
    manifest "$H" MANIFEST "$1"
    manifest "$E" orvdrivers.manifest "$1"
}
printf '#!/bin/sh\n[ -s "%s/started" ]\n' "$tmp" >"$tmp/hello" && chmod +x "$tmp/hello"
# boot [INIT]: what rcS does (the given init script, by default the installed one);
# waits (bounded) until the confirmation after the start has logged or given up.
boot() {
    rm -f "$tmp/started" "$tmp/log"
    ORV_START_CONF=$E/orvdrivers.conf ORV_DRIVERS=$H ORV_GOOD=$R/home/drivers.good ORV_LOG=$tmp/log \
        ORV_HELLO=${hello:-$tmp/hello} ORV_HELLO_WAIT=2 "${1:-$E/init.d/orvdrivers}" start >"$tmp/out" 2>&1
    # The start logs its last line "started ..."; a checked set then confirms in
    # the background, which ends with a line of its own: wait (bounded) for both.
    for _ in $(seq 200); do
        if grep -q 'started .* (checked)' "$tmp/log" 2>/dev/null; then
            grep -q -e 'kept the' -e 'no hello' -e 'keeping the' -e 'copy is this set already' "$tmp/log" && break
        elif grep -q 'started ' "$tmp/log" 2>/dev/null; then
            break
        fi
        sleep 0.05
    done
    # The stand-ins run in the background too.
    for _ in $(seq 40); do [ -s "$tmp/started" ] && [ "$(wc -l <"$tmp/started")" -ge 2 ] && break; sleep 0.05; done
}
ran() { sort -u "$tmp/started" 2>/dev/null | paste -sd'|'; }
# expect_boot NAME LOG-REGEX STARTED-LINES: after the boot the log matches and the
# stand-ins that ran are exactly these (build marks included).
expect_boot() {
    local name=$1 want_log=$2 want_ran=$3
    if grep -E -q -- "$want_log" "$tmp/log" 2>/dev/null && [ "$(ran)" = "$want_ran" ]; then
        ok "$name"
    else
        fail "$name: ran [$(ran)], want [$want_ran]; log:"; cat "$tmp/log" "$tmp/out" 2>/dev/null
    fi
}
OLD="ZR1.sh old|gatex1d old" NEW="ZR1.sh new|gatex1d new"
good() { head -n1 "$R/home/drivers.good/drivers/MANIFEST" 2>/dev/null; }

# A good boot keeps the copy (and both sets in it).
install_build old; boot
expect_boot "a good boot runs the checked set" 'started 2 driver\(s\) of build old from the installed set \(checked\)' "$OLD"
if [ "$(good)" = "mark old" ] && cmp -s "$E/init.d/orvdrivers" "$R/home/drivers.good/etc/init.d/orvdrivers" &&
    grep -q 'kept the driver set old as the last-known-good copy' "$tmp/log"; then
    ok "a good boot keeps the last-known-good copy"
else
    fail "no last-known-good copy after a good boot: $(cat "$tmp/log")"
fi
cp -a "$R" "$tmp/oldroot"
reset_old() { rm -rf "$R" && cp -a "$tmp/oldroot" "$R"; }

# What a cut update leaves, one case a row: the files are damaged this way, the
# next boot restores the old build from the copy and says why.
# cut NAME LOG-REGEX SHELL-COMMAND(run in $R)
cut() {
    reset_old
    (cd "$R" && eval "$3")
    boot
    expect_boot "$1" "$2" "$OLD"
    if [ "$(ran)" = "$OLD" ] && ! check_again; then
        fail "$1: the restored set does not check"
    fi
}
check_again() { (cd "$H" && grep '^[0-9a-f]\{64\}  ' MANIFEST | sha256sum -c --status); }
newprog() { printf '#!/bin/sh\necho "%s new" >>"%s/started"\n' "${1##*/}" "$tmp" >"home/drivers/$1"; }
cut "truncated program"            'driver set fails its check \(missing or changed: gatex/gatex1d\): restored the last-known-good copy \(old\)' \
    'head -c 20 home/drivers/gatex/gatex1d >x && cat x >home/drivers/gatex/gatex1d && rm x'
cut "missing manifest"             'driver set fails its check \(no manifest .*\): restored' 'rm home/drivers/MANIFEST'
cut "manifest cut short"           'driver set fails its check \(manifest .* is incomplete\): restored' \
    'head -n 2 home/drivers/MANIFEST >x && mv x home/drivers/MANIFEST'
cut "manifest cut mid-line"        'driver set fails its check \(manifest .* is (incomplete|malformed)\): restored' \
    'head -c 100 home/drivers/MANIFEST >x && mv x home/drivers/MANIFEST'
cut "a named file missing"         'driver set fails its check \(missing or changed: vexa/zr/ZR1.sh\): restored' 'rm home/drivers/vexa/zr/ZR1.sh'
cut "new programs, old manifest"   'driver set fails its check \(missing or changed: gatex/gatex1d vexa/zr/ZR1.sh\): restored' \
    'newprog gatex/gatex1d; newprog vexa/zr/ZR1.sh'
cut "boot set: truncated conf"     'configuration orvdrivers.conf of the boot set is missing, empty or cut short: restored from the last-known-good copy' \
    'printf "[DRI" >etc/orvdrivers.conf'
cut "driver conf emptied"          'configuration gatex/gatex1d.conf of the driver set is missing, empty or cut short: restored from the last-known-good copy' \
    ': >home/drivers/gatex/gatex1d.conf'
cut "driver conf missing"          'configuration gatex/gatex1d.conf of the driver set is missing, empty or cut short: restored' \
    'rm home/drivers/gatex/gatex1d.conf'
cut "cut between keep's renames"   'driver set fails its check .*: restored' \
    'mv home/drivers.good home/drivers.good.old; rm home/drivers/MANIFEST'

# A cut after keep's renames, before the previous copy was removed: the boot goes
# on from the new copy and removes the previous one, even when nothing else has to
# be copied (the copy is this set already).
reset_old; cp -a "$R/home/drivers.good" "$R/home/drivers.good.old"; echo x >>"$R/home/drivers.good.old/drivers/buildmark"
boot
expect_boot "cut after keep's renames" 'started 2 driver\(s\) of build old from the installed set \(checked\)' "$OLD"
if [ ! -e "$R/home/drivers.good.old" ] && [ "$(good)" = "mark old" ]; then
    ok "the previous copy left beside the new one is removed"
else
    fail "after a cut past keep's renames: $(printf '%s ' "$R"/home/drivers.good*)"
fi

# A truncated init script: rcS runs the copy's script, which restores the boot set.
reset_old; head -c 300 "$E/init.d/orvdrivers" >"$tmp/x" && cat "$tmp/x" >"$E/init.d/orvdrivers"
boot "$R/home/drivers.good/etc/init.d/orvdrivers"
expect_boot "truncated init script: the copy's script restores it" 'boot set fails its check \(missing or changed: init.d/orvdrivers\): restored' "$OLD"
if cmp -s "$script" "$E/init.d/orvdrivers"; then
    ok "the init script is whole again"
else
    fail "the init script was not restored"
fi

# The copy damaged too: logged, and the drivers are started from what is there.
reset_old; (cd "$R" && rm home/drivers/MANIFEST && echo x >>home/drivers.good/drivers/gatex/gatex1d)
boot
expect_boot "damaged copy: started from what is there" \
    'the last-known-good copy is damaged too \(missing or changed: gatex/gatex1d\): starting from the installed files' "$OLD"
if grep -q 'from the installed set (unchecked)' "$tmp/log" && [ "$(good)" = "mark old" ]; then
    ok "an unchecked set does not replace the copy"
else
    fail "unchecked set: $(cat "$tmp/log")"
fi

# A whole new build checks, runs, and replaces the copy once its drivers answer.
reset_old; (cd "$R" && newprog gatex/gatex1d && newprog vexa/zr/ZR1.sh && sed -i 's/^mark old/mark new/' home/drivers/MANIFEST)
manifest "$H" MANIFEST new; boot
expect_boot "a whole update runs" 'started 2 driver\(s\) of build new from the installed set \(checked\)' "$NEW"
if [ "$(good)" = "mark new" ]; then
    ok "the copy follows a good update"
else
    fail "the copy is still [$(good)]"
fi

# ---- Configuration belongs to the operator. Edits to a configuration file of a
# whole installation are kept, used, named in the log at every boot and taken into
# the copy; a program cut short is still restored, and with it the configuration
# the copy holds (the operator's accepted edits).
expect_log() {  # expect_log NAME REGEX
    if grep -E -q -- "$2" "$tmp/log" 2>/dev/null; then ok "$1"; else
        fail "$1: log:"; cat "$tmp/log" "$tmp/out" 2>/dev/null; fi
}
reset_old
printf '[DRIVER]\nmewtocol=0\nnodenet=0\nsensornet=1\n' >"$E/orvdrivers.conf"
printf 'port=1111\nmaxnodes=3\nmaxleaves=4\n' >"$H/gatex/gatex1d.conf"
boot
expect_boot "edited start configuration: a driver set to 0 stays off" \
    'started 1 driver\(s\) of build old from the installed set \(checked\)' "ZR1.sh old"
expect_log "the log names the kept start configuration" 'configuration of the boot set that differs from the package.s is kept: orvdrivers.conf$'
expect_log "the log names the kept driver configuration" 'configuration of the driver set that differs from the package.s is kept: gatex/gatex1d.conf$'
expect_log "the edits become the copy" 'kept the driver set old as the last-known-good copy'
if cmp -s "$H/gatex/gatex1d.conf" "$R/home/drivers.good/drivers/gatex/gatex1d.conf" &&
    cmp -s "$E/orvdrivers.conf" "$R/home/drivers.good/etc/orvdrivers.conf"; then
    ok "the copy holds the edited files"
else
    fail "the copy lacks the edits"
fi
boot
expect_log "a second boot keeps them and says so again" 'differs from the package.s is kept: gatex/gatex1d.conf$'
expect_log "the copy is this set already" 'the last-known-good copy is this set already'
if grep -q 'maxnodes=3' "$H/gatex/gatex1d.conf" && grep -q 'mewtocol=0' "$E/orvdrivers.conf"; then
    ok "the edits are still there"
else
    fail "edits lost"
fi
cp -a "$R" "$tmp/editedroot"
# A cut in the edited file: restored from the copy, the edit as the copy holds it.
for damage in 'printf "port=11" >home/drivers/gatex/gatex1d.conf' 'printf "port=1111\nmaxnodes=3\n" >home/drivers/gatex/gatex1d.conf' \
    'printf "port=1111\n\0\0\n" >home/drivers/gatex/gatex1d.conf'; do
    rm -rf "$R" && cp -a "$tmp/editedroot" "$R"
    (cd "$R" && eval "$damage")
    boot
    if grep -q 'configuration gatex/gatex1d.conf of the driver set is missing, empty or cut short: restored' "$tmp/log" &&
        cmp -s "$H/gatex/gatex1d.conf" "$R/home/drivers.good/drivers/gatex/gatex1d.conf"; then
        ok "damaged edited configuration restored ($damage)"
    else
        fail "damaged edited configuration ($damage):"; cat "$tmp/log"
    fi
done
# A truncated program beside the edits: the whole set comes back from the copy,
# with the operator's configuration as the copy holds it.
rm -rf "$R" && cp -a "$tmp/editedroot" "$R"
(cd "$R" && head -c 20 home/drivers/gatex/gatex1d >x && cat x >home/drivers/gatex/gatex1d && rm x)
boot
expect_boot "truncated program beside edited configuration: restored" \
    'driver set fails its check \(missing or changed: gatex/gatex1d\): restored the last-known-good copy \(old\)' "ZR1.sh old"
if cmp -s "$H/gatex/gatex1d" "$R/home/drivers.good/drivers/gatex/gatex1d" &&
    grep -q 'maxnodes=3' "$H/gatex/gatex1d.conf"; then
    ok "program whole again, edit kept"
else
    fail "after the restore: $(cat "$H/gatex/gatex1d.conf")"
fi
# An emptied configuration and no copy of it: said in the log, never counted as checked.
rm -rf "$R" && cp -a "$tmp/editedroot" "$R" && rm -rf "$R/home/drivers.good"
: >"$H/gatex/gatex1d.conf"
boot
expect_log "emptied configuration without a copy is reported" \
    'configuration gatex/gatex1d.conf of the driver set is missing, empty or cut short, and the last-known-good copy has no whole one'
expect_log "and the set counts as unchecked" 'from the installed set \(unchecked\)'
# An update replaces the configuration with the package's, as tar does.
rm -rf "$R" && cp -a "$tmp/editedroot" "$R"
(cd "$R" && newprog gatex/gatex1d && newprog vexa/zr/ZR1.sh && echo 'port=1111' >home/drivers/gatex/gatex1d.conf &&
    printf '[DRIVER]\nmewtocol=1\nnodenet=0\nsensornet=1\n' >etc/orvdrivers.conf)
manifest "$H" MANIFEST new; boot
expect_boot "an update brings the package's configuration" 'started 2 driver\(s\) of build new from the installed set \(checked\)' "$NEW"
if grep -q 'is kept' "$tmp/log"; then
    fail "kept after an update: $(cat "$tmp/log")"
else
    ok "nothing kept after an update"
fi

# Drivers that never answer: the copy is not replaced.
reset_old; (cd "$R" && newprog gatex/gatex1d); manifest "$H" MANIFEST new
hello=false boot
if grep -q 'no hello within 2 s from port(s) 1111 1131' "$tmp/log" && [ "$(good)" = "mark old" ]; then
    ok "silent drivers leave the copy as it was"
else
    fail "silent drivers: copy [$(good)]; $(cat "$tmp/log")"
fi
exit $failures
