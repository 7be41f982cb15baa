#!/bin/sh
# ZR1.sh: start script of the sensor-network pair, serlink (the transceiver)
# and ZR1Communicator (the commander), both in /home/drivers/vexa/zr.
#
#   ZR1.sh start     starts serlink, then ZR1Communicator, in the background
#   ZR1.sh stop      SIGTERM to every ZR1Communicator process, then to serlink;
#                    each waited for (about 5 s), and one that is still there
#                    then is ended by SIGKILL (the system log says so)
#   ZR1.sh restart   stop, then start
#
# The commander runs it with "restart" after a successful hup and with "stop"
# after a successful kill. The commander's main process is one of those that
# stop signals, so the script must not depend on its parent: it carries on to
# its end on its own.
#
# Processes are found by their command line, as the appliance has no pid files:
# the commander's main process and all its children (connection children,
# the boot scan) carry "ZR1Communicator" in theirs; the transceiver is the
# process whose program is serlink.

DIR=/home/drivers/vexa/zr

# The pids of the matching processes, never this script's own.
pids_of() {
    for p in /proc/[0-9]*; do
        pid=${p#/proc/}
        [ "$pid" = "$$" ] && continue
        [ -r "$p/cmdline" ] || continue
        cmd=$(tr '\0' ' ' <"$p/cmdline" 2>/dev/null) || continue
        case "$1" in
        commander)
            case "$cmd" in *ZR1Communicator*) echo "$pid" ;; esac ;;
        transceiver)
            prog=${cmd%% *}
            [ "${prog##*/}" = serlink ] && echo "$pid" ;;
        esac
    done
}

# wait_gone KIND TENTHS: waits (at most TENTHS tenths of a second) until none of
# them is left; fails when some are.
wait_gone() {
    n=0
    while [ -n "$(pids_of "$1")" ]; do
        [ $n -ge "$2" ] && return 1
        sleep 0.1
        n=$((n + 1))
    done
}

log() { logger -t ZR1.sh "$*" 2>/dev/null; }

# end_all KIND: SIGTERM to each, then a bounded wait; what is still there after
# it is ended by SIGKILL, so that the start step never runs beside an old
# transceiver or commander on the same queues and device (a second transceiver
# would take requests meant for the first, an old commander would remove the
# answer queue under the new one).
end_all() {
    for pid in $(pids_of "$1"); do kill -TERM "$pid" 2>/dev/null; done
    wait_gone "$1" 50 && return 0
    for pid in $(pids_of "$1"); do
        kill -KILL "$pid" 2>/dev/null &&
            log "the $1 (pid $pid) was still running 5 s after SIGTERM: ended by SIGKILL"
    done
    wait_gone "$1" 50 || log "the $1 is still running after SIGKILL: $(pids_of "$1" | tr '\n' ' ')"
}

# Both programs write their diagnostics to this script's console, standard
# error joined to standard output; whoever runs the script decides where that
# goes (the init script, a service engineer's terminal). ZR1_OUT, when set,
# names a file that the script's console is appended to instead.
start() {
    cd "$DIR" || exit 1
    if [ -n "${ZR1_OUT:-}" ]; then exec >>"$ZR1_OUT" 2>&1; fi
    ./serlink 2>&1 &
    ./ZR1Communicator 2>&1 &
}

stop() {
    end_all commander
    end_all transceiver
}

case "$1" in
start) start ;;
stop) stop ;;
restart) stop; start ;;
*) echo "usage: $0 start|stop|restart" >&2; exit 2 ;;
esac
exit 0
