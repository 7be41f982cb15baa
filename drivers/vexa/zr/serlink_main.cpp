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
#include "zrmsg.h"

static int r_msqid = -1;  // request queue (we create and remove it)
static int s_msqid = -1;  // answer queue (the commander's)

static int send_to_commander(const MsgAnswer& a) { return zr_send_answer(s_msqid, a); }

static void init_msg() {
    long attempts = 0;
    while ((r_msqid = msgget(recvkey, IPC_CREAT | 0666)) < 0) {
        if (++attempts % 3600 == 1) log_writer(LOG_ALERT, "recv msgget", errno);
        sleep(1);
    }
    while ((s_msqid = msgget(sendkey, 0)) < 0) {
        if (++attempts % 3600 == 1) log_writer(LOG_ALERT, "send msgget", errno);
        sleep(1);
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

// Only async-signal-safe calls here: the signal may arrive inside printf or
// syslog. The queue removal failure is reported on standard error.
static void put_text(int to, const char* s) {
    ssize_t r = write(to, s, strlen(s));
    (void)r;
}
static void sig_catch(int) {
    if (fd >= 0) close(fd);
    char line[48] = "end_msg:r_msqid=";
    char digits[16];
    int v = r_msqid, n = 0;
    bool neg = v < 0;
    unsigned u = neg ? 0u - (unsigned)v : (unsigned)v;
    do { digits[n++] = (char)('0' + u % 10); u /= 10; } while (u);
    size_t p = strlen(line);
    if (neg) line[p++] = '-';
    while (n) line[p++] = digits[--n];
    line[p++] = '\n';
    line[p] = '\0';
    put_text(1, line);
    if (msgctl(r_msqid, IPC_RMID, nullptr) < 0) put_text(2, "end_msg:msgctl failed\n");
    _exit(0);
}

static void init_signal() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = sig_catch;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

// Receives one request. A message longer than the 10-byte request text would
// stay at the head of the queue and block every later request, so it is taken
// out and dropped (logged), and the loop goes on without an answer.
static bool receive_request() {
    if (zr_recv_request(r_msqid, recvbuf) >= 0) return true;
    int e = errno;
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
    sleep(1);
    return false;
}

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    memset(&recvbuf, 0, sizeof recvbuf);
    // Opened once for the whole run. LOG_CONS: when the system log cannot be
    // reached, the lines still show on the appliance's console.
    drv_openlog("serlink", LOG_PID | LOG_CONS);
    log_writer(LOG_INFO, "serlink version 2.0", 0);
    ini_reader();
    init_signal();
    init_msg();

    PosixSerialLine line;
    serial_line = &line;
    answer_sender = send_to_commander;
    for (;;) {
        memset(&recvbuf, 0, sizeof recvbuf);
        memset(&sendbuf, 0, sizeof sendbuf);
        if (!receive_request()) continue;
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
