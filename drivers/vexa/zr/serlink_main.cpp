// serlink: the RS-485 transceiver of the sensor network. It owns the serial
// line and serves the commander's requests from the request queue one at a
// time, each with one answer record on the answer queue. It measures only on
// request; between requests it keeps nothing but its scan cache and one
// logging flag. No arguments; settings from ./ZR1Communicator.ini.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "log.h"
#include "serlink_core.h"
#include "serlink_ini.h"
#include "serlink_serial.h"
#include "sigwake.h"
#include "stopwait.h"
#include "zrmsg.h"

static int r_msqid = -1;  // request queue (we create and remove it)
static int s_msqid = -1;  // answer queue (the commander's)
static volatile sig_atomic_t g_stop = 0;  // SIGINT or SIGTERM came

static void check_signals();

// Waits for room in a full answer queue; a stop ends the program before the send.
static int send_to_commander(const MsgAnswer& a) { return sw_msgsnd(s_msqid, &a, ZR_ANS_TEXT); }

static void init_msg() {
    long attempts = 0;
    while ((r_msqid = msgget(recvkey, IPC_CREAT | 0666)) < 0) {
        if (++attempts % 3600 == 1) log_writer(LOG_ALERT, "recv msgget", errno);
        sw_sleep(1000);
    }
    while ((s_msqid = msgget(sendkey, 0)) < 0) {
        if (++attempts % 3600 == 1) log_writer(LOG_ALERT, "send msgget", errno);
        sw_sleep(1000);
    }
    printf("r_msqid=%d\n", r_msqid);
    printf("s_msqid=%d\n", s_msqid);
}

static void end_msg() {
    printf("end_msg:r_msqid=%d\n", r_msqid);
    if (msgctl(r_msqid, IPC_RMID, nullptr) < 0) log_writer(LOG_ALERT, "end_msg:msgctl", errno);
}

static void proc_stop() {
    serial_close();
    end_msg();
}

// SIGINT, SIGTERM: the handler only sets the flag and wakes the waits; the
// stop check of every wait (stopwait: the line, the pauses, a full answer queue)
// and of the main loop then stops the program where it is. The receive of the
// request queue cannot be polled beside the self-pipe, and a signal just before
// it is entered would not interrupt it: so the queue is its wake-up. The handler
// puts one record of its own into it (a single system call; IPC_NOWAIT, as a
// full queue wakes the receive anyway), and whatever the loop receives once the
// flag is set is not served.
static void sig_catch(int) {
    int saved = errno;
    g_stop = 1;
    sig_wake();
    MsgRequest wake;
    memset(&wake, 0, sizeof wake);
    wake.type = 1;
    if (r_msqid >= 0) zr_send_request(r_msqid, wake, IPC_NOWAIT);
    errno = saved;
}

// Ends the program on a signal: the device closed, the request queue removed
// (a failed removal goes to the system log), exit code 0.
static void check_signals() {
    if (!g_stop) return;
    // The removal's log line must not be held back as a repeated get_value error.
    memset(&recvbuf, 0, sizeof recvbuf);
    proc_stop();
    exit(0);
}

static bool stop_check() {
    check_signals();
    return false;
}

static void init_signal() {
    sw_set_stop(stop_check);
    sig_handle(SIGINT, sig_catch, false);
    sig_handle(SIGTERM, sig_catch, false);
}

// Receives one request. A message longer than the 10-byte request text would
// stay at the head of the queue and block every later request, so it is taken
// out and dropped (logged), and the loop goes on without an answer.
static bool receive_request() {
    if (zr_recv_request(r_msqid, recvbuf) >= 0) return true;
    int e = errno;
    if (e == EINTR) return false;  // a signal: the loop looks at it
    if (e == E2BIG) {
        MsgRequest junk;
        if (msgrcv(r_msqid, &junk, ZR_REQ_TEXT, 0, MSG_NOERROR | IPC_NOWAIT) >= 0) {
            log_writer(LOG_WARNING, "msgrcv: request longer than 10 bytes dropped", 0);
            return false;
        }
        e = errno;
    }
    if (e == EIDRM || e == EINVAL) init_msg();
    errno = e;
    perror("msgrcv");
    sw_sleep(1000);
    return false;
}

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    memset(&recvbuf, 0, sizeof recvbuf);
    // Opened once for the whole run. LOG_CONS: when the system log cannot be
    // reached, the lines still show on the appliance's console.
    drv_openlog("serlink", LOG_PID | LOG_CONS);
    sig_wake_open();
    log_writer(LOG_INFO, "serlink version 2.0", 0);
    ini_reader();
    init_signal();
    init_msg();

    PosixSerialLine line;
    serial_line = &line;
    answer_sender = send_to_commander;
    for (;;) {
        check_signals();
        memset(&recvbuf, 0, sizeof recvbuf);
        memset(&sendbuf, 0, sizeof sendbuf);
        if (!receive_request()) continue;
        check_signals();
        switch (serve_request()) {
        case ServeNext::Loop:
            break;
        case ServeNext::Restart:
            proc_stop();
            ini_reader();
            init_signal();
            init_msg();
            break;
        case ServeNext::Stop:
            proc_stop();
            return 0;
        }
    }
}
