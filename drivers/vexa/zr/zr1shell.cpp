// zr1shell: see zr1shell.h. Thin on purpose: what a request does is zr1comm.
#include "zr1shell.h"

#include <arpa/inet.h>
#include <netinet/in.h>
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

union semun_arg {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

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
    semid = semget(IPC_PRIVATE, 1, 0600);
    if (semid == -1) {
        zr1Fail("InitSemop:semget");
        return;
    }
    semun_arg ctl_arg;
    ctl_arg.val = 1;
    if (semctl(semid, 0, SETVAL, ctl_arg) == -1) zr1Fail("InitSemop:semctl");
}

// SEM_UNDO: a process that dies while it holds the semaphore (killed in the
// middle of an exchange) gives it back, instead of blocking every later
// exchange of the instance for good. Each process takes and releases in pairs,
// so the undo never changes anything for a process that ends normally.
void MySemop(int id, int op) {
    struct sembuf sb;
    sb.sem_num = 0;
    sb.sem_op = short(op);
    sb.sem_flg = SEM_UNDO;
    if (semop(id, &sb, 1) == -1) zr1Fail("MySemop:semop");
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
        sleep(1);
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
    int sent = zr_send_request(s_msqid, sendbuf);
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
            sent = zr_send_request(s_msqid, sendbuf);
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
            usleep(100000);
        }
        printBufTime();
    }
    MySemop(semid, 1);
    return result;
}

void zr1Pause(int ms) { usleep(useconds_t(ms) * 1000u); }

// One send of the whole line. MSG_NOSIGNAL: a client that went away must not
// kill the child with SIGPIPE before it can end normally (a hup or kill whose
// client did not wait for its answer still restarts or stops the pair).
void zr1WriteLine(const char* line, size_t n) {
    ssize_t w = send(Acc, line, n, MSG_NOSIGNAL);
    if (w < 0 && errno == ENOTSOCK) w = write(Acc, line, n);
    (void)w;
}

void InitSocket() {
    Soc = socket(AF_INET, SOCK_STREAM, 0);
    if (Soc == -1) {
        zr1Fail("InitSocket:socket");
        exit(-1);
    }
    int on = 1;
    if (setsockopt(Soc, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1) {
        zr1Fail("InitSocket:setsockopt");
        exit(-1);
    }
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(uint16_t(PORT_NUMBER));
    if (bind(Soc, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) == -1) {
        zr1Fail("InitSocket:bind");
        exit(-1);
    }
}

// SIGINT, SIGTERM, in any process of the instance.
static void CloseSocket(int) {
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

static void installChild();

// SIGCHLD: reap every finished child; a child that ended after a successful
// hup (1) or kill (2) makes the main process run the start script.
static void CloseChild(int) {
    int saved = errno;
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
            // The script starts the next commander: it must inherit neither
            // the ignored SIGCHLD nor this handler's blocked SIGCHLD (both are
            // kept across exec), or the new commander never hears of its
            // children and a later hup or kill does nothing.
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
            while (waitpid(runner, nullptr, 0) == -1 && errno == EINTR) {
            }
        }
    }
    installChild();
    errno = saved;
}

static void installChild() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = CloseChild;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGCHLD, &sa, nullptr);
}

void InitSignal() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = CloseSocket;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    installChild();
}

int scanOnBoot() {
    pid_t pid = fork();
    if (pid == 0) {
        fullscan();
        exit(0);
    }
    if (pid < 0) {
        zr1Fail("scanOnBoot:fork");
        return -1;
    }
    return 0;
}

int StartChild() {
    char buf[ZR1_REQ_SIZE];
    for (;;) {
        memset(buf, 0, sizeof buf);
        ssize_t n = read(Acc, buf, ZR1_REQ_SIZE - 1);
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
    fd_set watch;
    FD_ZERO(&watch);
    FD_SET(Soc, &watch);
    listen(Soc, 128);
    for (;;) {
        if (!Soc) {
            // Closed for a restart or stop that the start script carries out;
            // it ends this process. Without it nothing is left to serve.
            sleep(1);
            continue;
        }
        fd_set rd = watch;
        struct timeval tv = {1, 100000};
        int n = select(Soc + 1, &rd, nullptr, nullptr, &tv);
        if (n == -1) {
            if (errno != EINTR) zr1Fail("MainLoop:select");
            continue;
        }
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
            exit(StartChild());
        }
        if (pid > 0) setpgid(pid, getpid());
        close(Acc);
        Acc = 0;
    }
}
