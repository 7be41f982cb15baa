# shellcheck shell=bash
# shellcheck disable=SC2154  # $top is the sourcing script's
# Shell helpers of the two upload benchmarks (bench/uploader/run.sh and
# bench/uploader-wine/run.sh), sourced by both so that they send the same tree to
# the same server started the same way:
#   ftpbench_start NAME   makes $work (/tmp/NAME-XXXXXX) with root/ (the server's
#                         folder) and pc/files/ (20 files of 2.5 MiB, 50 MiB; no
#                         ".inc" in the names, so no telnet session runs), starts
#                         the tests' FTP server (pyftpdlib) on a free port of
#                         127.0.0.1 and sets $port; the server is ended by its PID
#                         and $work removed when the script exits.
#   ftpbench_median V...  the median of the values.
# Needs $top (the source tree).

ftpbench_start() {
    work=$(mktemp -d "/tmp/$1-XXXXXX")
    ftpd=""
    trap ftpbench_cleanup EXIT
    mkdir -p "$work/root" "$work/pc/files"
    local i
    for i in $(seq -w 1 20); do
        head -c 2621440 /dev/urandom > "$work/pc/files/data$i.bin"
    done
    /usr/bin/python3 "$top/tests/integration/uploader_ftpd.py" "$work/root" 0 brolt362 > "$work/ftpd.out" &
    ftpd=$!
    # The server prints "ready PORT" once it listens: wait for that, at most 10 s.
    for _ in $(seq 100); do grep -q ready "$work/ftpd.out" 2>/dev/null && break; sleep 0.1; done
    port=$(awk '{print $2}' "$work/ftpd.out")
    [ -n "$port" ] || { echo "FTP server did not start" >&2; exit 1; }
}

ftpbench_cleanup() {
    if [ -n "$ftpd" ]; then
        kill "$ftpd" 2>/dev/null || true
        wait "$ftpd" 2>/dev/null || true
    fi
    rm -rf "$work"
}

ftpbench_median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
