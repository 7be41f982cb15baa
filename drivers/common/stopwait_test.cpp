// stopwait: every kind of wait ends at the stop, whether the stop came before the
// wait began (the signal that a look-then-block would lose) or while it waits;
// the same waits run their course when the signal is no stop.
#include "stopwait.h"

#include "posix_test_support.h"
#include "sigwake.h"
#include "timedio.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <csignal>
#include <functional>

namespace {
volatile sig_atomic_t g_flag = 0;
bool g_isStop = true;  // whether the signal means a stop in this case

void onSignal(int) {
    g_flag = 1;
    sig_wake();
}
bool flagged() { return g_isStop && g_flag; }

long long nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

enum class When { Before, During };

// In the child: the stop check and the signal, then the wait.
void prepare(When when, bool isStop) {
    g_flag = 0;
    g_isStop = isStop;
    sig_wake_open();
    sw_set_stop(flagged);
    sig_handle(SIGALRM, onSignal, false);
    if (when == When::Before) raise(SIGALRM);
    else ualarm(100 * 1000, 0);  // while the wait is blocked
}

struct WaitCase {
    const char* what;
    // Sets up something that never becomes ready, waits for it and tells
    // whether the wait reported the stop.
    std::function<bool()> waitStopped;
};

std::vector<WaitCase> neverReady() {
    return {
        {"poll on a silent pipe", [] {
             int p[2];
             if (pipe(p) != 0) return false;
             return sw_poll(p[0], POLLIN, -1) == -2 && errno == ECANCELED;
         }},
        {"poll on a line that never stops sending", [] {
             int z = open("/dev/zero", O_RDONLY);
             // Ready at every look: the stop must still win.
             int r = 0;
             for (int i = 0; i < 1000000 && (r = sw_poll(z, POLLIN, 1000)) == 1; i++) {
                 char buf[64];
                 if (read(z, buf, sizeof buf) < 0) return false;
             }
             return r == -2;
         }},
        {"timed read", [] {
             int p[2];
             if (pipe(p) != 0) return false;
             char c;
             return tio_read(p[0], &c, 1, 60000) == -1 && errno == ECANCELED;
         }},
        {"sleep", [] { return !sw_sleep(60000) && errno == ECANCELED; }},
        {"semaphore held by another", [] {
             int id = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);  // value 0: taken
             bool ok = sw_semop(id, -1, SEM_UNDO) == -1 && errno == ECANCELED;
             semctl(id, 0, IPC_RMID);
             return ok;
         }},
        {"send into a full queue", [] {
             int q = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
             struct {
                 long type;
                 char text[256];
             } m = {1, {}};
             while (msgsnd(q, &m, sizeof m.text, IPC_NOWAIT) == 0) {
             }
             bool ok = sw_msgsnd(q, &m, sizeof m.text) == -1 && errno == ECANCELED;
             msgctl(q, IPC_RMID, nullptr);
             return ok;
         }},
        {"write to a client that never reads", [] {
             int sv[2];
             if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return false;
             static char big[1 << 20];
             return sw_send(sv[0], big, sizeof big) == -1 && errno == ECANCELED;
         }},
        {"child that does not end", [] {
             pid_t c = fork();
             if (c == 0) {
                 pause();
                 _exit(0);
             }
             bool ok = sw_waitpid(c, nullptr) == -1 && errno == ECANCELED;
             kill(c, SIGKILL);
             waitpid(c, nullptr, 0);
             return ok;
         }},
    };
}

TEST(StopWait, EveryWaitEndsAtAStopThatCameBeforeOrDuringIt) {
    for (const WaitCase& c : neverReady()) {
        for (When when : {When::Before, When::During}) {
            SCOPED_TRACE(std::string(c.what) + (when == When::Before ? ", stop before" : ", stop during"));
            // A wait that misses the stop never ends: the child is then ended by
            // its PID at the bound and the check fails.
            EXPECT_TRUE(drvtest::endsOnItsOwn([&] {
                prepare(when, true);
                if (!c.waitStopped()) _exit(1);
            }));
        }
    }
}

TEST(StopWait, ASignalThatIsNoStopLetsTheWaitRunItsCourse) {
    EXPECT_TRUE(drvtest::endsOnItsOwn([] {
        prepare(When::During, false);
        long long t0 = nowMs();
        if (!sw_sleep(300)) _exit(1);
        if (nowMs() - t0 < 300) _exit(2);
        if (!g_flag) _exit(3);  // the signal did come
    }));
    EXPECT_TRUE(drvtest::endsOnItsOwn([] {
        prepare(When::During, false);
        int p[2];
        if (pipe(p) != 0) _exit(1);
        if (sw_poll(p[0], POLLIN, 300) != 0) _exit(2);  // times out, not cut short
        if (write(p[1], "x", 1) != 1 || sw_poll(p[0], POLLIN, -1) != 1) _exit(3);
    }));
}

TEST(StopWait, WhatIsReadyIsTakenWithoutAStop) {
    EXPECT_TRUE(drvtest::endsOnItsOwn([] {
        g_isStop = true;
        g_flag = 0;
        sw_set_stop(flagged);
        int id = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
        struct sembuf up = {0, 1, 0};
        semop(id, &up, 1);
        bool took = sw_semop(id, -1, SEM_UNDO) == 0;
        semctl(id, 0, IPC_RMID);
        if (!took) _exit(1);
        int q = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
        struct {
            long type;
            char text[4];
        } m = {1, {'a', 'b', 'c', 'd'}}, got{};
        bool sent = sw_msgsnd(q, &m, sizeof m.text) == 0 && msgrcv(q, &got, sizeof got.text, 0, IPC_NOWAIT) == 4 &&
                    memcmp(got.text, "abcd", 4) == 0;
        msgctl(q, IPC_RMID, nullptr);
        if (!sent) _exit(2);
        pid_t c = fork();
        if (c == 0) _exit(7);
        int st = 0;
        if (sw_waitpid(c, &st) != c || !WIFEXITED(st) || WEXITSTATUS(st) != 7) _exit(3);
        int sv[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
        char buf[5] = {};
        if (sw_send(sv[0], "hello", 5) != 5 || read(sv[1], buf, 5) != 5 || memcmp(buf, "hello", 5) != 0) _exit(4);
    }));
}
}  // namespace
