# Shell helpers of the appliance tests (sourced). The sourcing script defines
# say() and sets failures=0 first.

ok() { say "ok: $*"; }
fail() { say "FAIL: $*"; failures=$((failures + 1)); }
expect() {  # expect WHAT REGEX TEXT
    if [[ $3 =~ $2 ]]; then ok "$1: $3"; else fail "$1: got '$3', want /$2/"; fi
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
wait_for() {  # wait_for SECONDS COMMAND...: true once COMMAND succeeds, in 0.1 s steps
    local limit=$(($1 * 10)) i=0; shift
    while ! "$@" >/dev/null 2>&1; do i=$((i + 1)); [ $i -gt $limit ] && return 1; sleep 0.1; done
}
# first_line FILE: the first line of FILE once it has one (a simulator's device name).
first_line() { wait_for 10 test -s "$1" && head -n1 "$1"; }

# ask PORT REQUEST: one request on a fresh connection; prints the response line
# (meta and trace lines, which begin with "!", are skipped unless REQUEST is one).
ask() {
    local port=$1 req=$2 line
    exec 3<>"/dev/tcp/127.0.0.1/$port" || return 1
    printf '%s\r\n' "$req" >&3
    while IFS= read -r -t 30 line <&3; do
        line=${line%$'\r'}
        case "$req$line" in '?'*'!'*) continue ;; esac
        printf '%s\n' "$line"
        break
    done
    exec 3<&- 3>&-
}
