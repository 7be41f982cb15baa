// zr1shell: see zr1shell.h. Thin on purpose: what a request does is zr1comm.
#include "zr1shell.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/select.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ifs.h"
#include "listener.h"
#include "semlock.h"
#include "sigwake.h"
#include "stopwait.h"
#include "zr1comm.h"

int Soc = 0;
int Acc = 0;
int semid = -1;
int shmid = -1;
int s_msqid = -1;
int r_msqid = -1;
int* pshmseqno = nullptr;
const char* zr1ScriptPath = "/home/drivers/vexa/zr/ZR1.sh";

static MsgRequest sendbuf;

// Set by the handlers, acted on by DoSignals() in whichever loop the process is in.
static volatile sig_atomic_t g_terminate = 0;  // SIGINT, SIGTERM
static volatile sig_atomic_t g_childEnded = 0; // SIGCHLD

void InitMacaddrlo24() {
    memcpy(macaddrlo24, "000000", 7);
    ifs_init(maxifs);
    zr1PrefixFromHwaddr(macaddrlo24, ifs_get_hwaddr(IFNAME));
}

void InitShm() {
    shmid = shmget(key_t(SHMKEY231), sizeof(int32_t), IPC_CREAT | 0644);
    if (shmid == -1) {
        zr1Fail("InitShm:shmget");
        exit(-1);
    }
    void* at = shmat(shmid, nullptr, 0);
    if (at == reinterpret_cast<void*>(-1)) {
        zr1Fail("InitShm:shmat");
        exit(-1);
    }
    pshmseqno = static_cast<int*>(at);
}

void InitSemop() {
    int r = semlock_create(&semid);
    if (r == -1) zr1Fail("InitSemop:semget");
    if (r == -2) zr1Fail("InitSemop:semctl");
}

// SEM_UNDO (semlock): a process that dies while it holds the semaphore (killed
// in the middle of an exchange) gives it back, instead of blocking every later
// exchange of the instance for good. Each process takes and releases in pairs,
// so the undo never changes anything for a process that ends normally. A SIGTERM
// while waiting for it ends the process there (the stop check, zr1Stopping).
void MySemop(int id, int op) {
    if (semlock_op(id, op) == -1) zr1Fail("MySemop:semop");
}

void EndSemop() {
    if (semctl(semid, 0, IPC_RMID) == -1) zr1Fail("EndSemop:semctl");
}

void EndMsg() {
    if (msgctl(r_msqid, IPC_RMID, nullptr) == -1) zr1Fail("EndMsg:msgctl");
}

void InitMsg() {
    *pshmseqno = 0;
    int attempts = 0;
    for (;;) {
        s_msqid = msgget(key_t(MSGREQ_KEY), 0);
        if (s_msqid != -1) break;
        perror("send msgget");
        if (++attempts >= 181) {
            zr1Fail("InitMsg:s_msqid");
            break;
        }
        sw_sleep(1000);
    }
    r_msqid = msgget(key_t(MSGANS_KEY), IPC_CREAT | 0666);
    if (r_msqid == -1) zr1Fail("InitMsg:r_msqid");
}

static void printBufTime() {
    time_t now = time(nullptr);
    struct tm lt;
    char tmp[64];
    localtime_r(&now, &lt);
    printf("buf=%s", asctime_r(&lt, tmp));
    fflush(stdout);
}

int DoMsg(long type, int command, char node, char param) {
    MySemop(semid, -1);
    memset(&recvbuf, 0, sizeof recvbuf);
    // The counter wraps as a 32-bit integer; do the wrap in unsigned arithmetic.
    *pshmseqno = int32_t(uint32_t(*pshmseqno) + 1u);
    zr_make_request(sendbuf, command, node, param, *pshmseqno);
    sendbuf.type = type;
    int result = -1;
    // A stop that came before the send ends the process there: no command goes
    // out for a request whose answer nobody will read. A full queue is waited on.
    int sent = sw_msgsnd(s_msqid, &sendbuf, ZR_REQ_TEXT);
    if (sent == -1 && (errno == EIDRM || errno == EINVAL)) {
        // The transceiver removed its request queue and made a new one (a queue
        // removed under it, or its restart): the identifier this process holds
        // names nothing now. Look the key up again, or every later request of
        // this process would fail for as long as it lives. When that does not
        // help, the log entry tells why the send failed, not why the look-up did.
        int sendErr = errno;
        int id = msgget(key_t(MSGREQ_KEY), 0);
        if (id != -1 && id != s_msqid) {
            s_msqid = id;
            sent = sw_msgsnd(s_msqid, &sendbuf, ZR_REQ_TEXT);
        } else {
            errno = sendErr;
        }
    }
    if (sent == -1) {
        zr1Fail("DoMsg:msgsnd");
    } else {
        int limit = getMsgTmo(command) / 100000;
        for (int sleeps = 0;; sleeps++) {
            if (zr_recv_answer(r_msqid, recvbuf, IPC_NOWAIT) >= 0) {
                if (recvbuf.seq == sendbuf.seq) {
                    result = 0;
                    break;
                }
                memset(&recvbuf, 0, sizeof recvbuf);  // a late answer to an earlier request
            }
            if (sleeps >= limit) {
                zr1Fail("DoMsg:msgrcv");
                break;
            }
            sw_sleep(100);
            DoSignals();
        }
        printBufTime();
    }
    MySemop(semid, 1);
    return result;
}

namespace {
// The transceiver over the message queues, the connection Acc and real pauses.
class QueueTransceiver : public Zr1Transceiver {
public:
    int exchange(long type, int command, char node, char param) override {
        return DoMsg(type, command, node, param);
    }
    // A stop during a pause ends the process there: the exchange after it
    // never goes out.
    void pause(int ms) override { sw_sleep(ms); }
    // The whole line, unless a stop came first. MSG_NOSIGNAL: a client that went
    // away must not kill the child with SIGPIPE before it can end normally (a hup
    // or kill whose client did not wait for its answer still restarts or stops
    // the pair). A client that does not read holds off no stop.
    void writeLine(const char* line, size_t n) override {
        ssize_t w = sw_send(Acc, line, n);
        (void)w;
    }
};
QueueTransceiver g_queues;
}  // namespace

Zr1Transceiver* const zr1Queues = &g_queues;

void InitSocket() {
    bool reuseOk = true;
    Soc = listener_socket(&reuseOk);
    if (Soc == -1) {
        zr1Fail("InitSocket:socket");
        exit(-1);
    }
    if (!reuseOk) {
        zr1Fail("InitSocket:setsockopt");
        exit(-1);
    }
    if (listener_bind(Soc, PORT_NUMBER) == -1) {
        zr1Fail("InitSocket:bind");
        exit(-1);
    }
}

static void onTerminate(int) {
    g_terminate = 1;
    sig_wake();
}

static void onChild(int) {
    g_childEnded = 1;
    sig_wake();
}

// End by SIGINT or SIGTERM, in any process of the instance.
[[noreturn]] static void CloseSocket();

// The stop check of every wait (stopwait): a SIGTERM or SIGINT ends the process
// where it waits, with the clean-up of CloseSocket. Children are reaped only in
// the loops (DoSignals), never inside a wait.
static bool zr1Stopping() {
    if (g_terminate) CloseSocket();
    return false;
}

[[noreturn]] static void CloseSocket() {
    if (Soc) {
        close(Soc);
        Soc = 0;
    }
    if (Acc) {
        close(Acc);
        Acc = 0;
    }
    EndSemop();
    EndMsg();
    exit(0);
}

static void installChild() { sig_handle(SIGCHLD, onChild, false); }

// After SIGCHLD: reap every finished child; a child that ended after a
// successful hup (1) or kill (2) makes the main process run the start script.
static void CloseChild() {
    g_childEnded = 0;
    int st = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &st, WNOHANG)) > 0) {
        if (!WIFEXITED(st)) continue;
        const char* word = nullptr;
        if (WEXITSTATUS(st) == 1) word = "restart";
        if (WEXITSTATUS(st) == 2) word = "stop";
        if (!word) continue;
        if (Soc) {
            close(Soc);
            Soc = 0;
        }
        signal(SIGCHLD, SIG_IGN);
        pid_t runner = fork();
        if (runner == 0) {
            // The script starts the next commander: it must inherit neither the
            // ignored SIGCHLD nor a blocked signal (both are kept across exec),
            // or the new commander never hears of its children and a later hup
            // or kill does nothing.
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            signal(SIGCHLD, SIG_DFL);
            signal(SIGINT, SIG_DFL);
            signal(SIGTERM, SIG_DFL);
            execl(zr1ScriptPath, "ZR1.sh", word, static_cast<char*>(nullptr));
            _exit(127);
        }
        if (runner < 0) {
            zr1Fail("CloseChild:fork");
        } else {
            // The script's stop step ends this process while it waits here; a
            // SIGTERM that came before the wait began is seen by the wait's
            // first check, never only at the script's end.
            sw_waitpid(runner, nullptr);
        }
    }
    installChild();
}

void DoSignals() {
    if (g_terminate) CloseSocket();
    if (g_childEnded) CloseChild();
}

// The handlers only set a flag and wake the loop; no SA_RESTART, so a blocking
// call returns with EINTR and its loop looks at the flags at once.
void InitSignal() {
    sig_wake_open();
    sw_set_stop(zr1Stopping);
    sig_handle(SIGINT, onTerminate, false);
    sig_handle(SIGTERM, onTerminate, false);
    installChild();
}

// A new child waits for signals of its own on a pipe of its own.
static void startedChild() { sig_wake_open(); }

int scanOnBoot() {
    pid_t pid = fork();
    if (pid == 0) {
        startedChild();
        fullscan();
        exit(0);
    }
    if (pid < 0) {
        zr1Fail("scanOnBoot:fork");
        return -1;
    }
    return 0;
}

// Waits until fd is readable; a SIGTERM ends the process inside the wait. false
// after a time-out or a failed wait, so that the caller looks at the flags again.
static bool readable(int fd, int timeoutMs) { return sw_poll(fd, POLLIN, timeoutMs) == 1; }

int StartChild() {
    char buf[ZR1_REQ_SIZE];
    for (;;) {
        DoSignals();
        if (!readable(Acc, -1)) continue;
        memset(buf, 0, sizeof buf);
        ssize_t n = read(Acc, buf, ZR1_REQ_SIZE - 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            zr1Fail("StartChild:read");
            return 0;
        }
        buf[n] = '\0';
        int rc = DoCommand(buf);
        if (rc != 0) return rc;
    }
}

void MainLoop() {
    scanOnBoot();
    listen(Soc, 128);
    for (;;) {
        DoSignals();
        if (!Soc) {
            // Closed for a restart or stop that the start script carries out;
            // it ends this process. Without it nothing is left to serve.
            sw_sleep(1000);
            continue;
        }
        // The self-pipe beside the listener: a signal ends the wait at once.
        int wake = sig_wake_fd();
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(Soc, &rd);
        if (wake >= 0) FD_SET(wake, &rd);
        struct timeval tv = {1, 100000};
        int n = select((wake > Soc ? wake : Soc) + 1, &rd, nullptr, nullptr, &tv);
        if (n == -1) {
            if (errno != EINTR) zr1Fail("MainLoop:select");
            continue;
        }
        if (wake >= 0 && FD_ISSET(wake, &rd)) sig_wake_drain();
        if (n == 0 || !Soc || !FD_ISSET(Soc, &rd)) continue;
        Acc = accept(Soc, nullptr, nullptr);
        if (Acc == -1) {
            Acc = 0;
            if (errno != EINTR) zr1Fail("MainLoop:accept");
            continue;
        }
        pid_t pid = fork();
        if (pid == 0) {
            close(Soc);
            Soc = 0;
            startedChild();
            exit(StartChild());
        }
        if (pid > 0) setpgid(pid, getpid());
        close(Acc);
        Acc = 0;
    }
}
