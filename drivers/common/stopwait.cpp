// stopwait: see stopwait.h.
#include "stopwait.h"

#include <poll.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/wait.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "deadline.h"
#include "sigwake.h"

namespace {
bool (*g_stopping)() = nullptr;

// Runs f with every signal held off: the stop check and the call after it are
// one step. A check that ends the process may exit inside.
template <class F>
void with_signals_held(F f) {
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    f();
    int e = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = e;
}

// The stop came: -2 for sw_poll, -1 for the others, errno ECANCELED either way.
int stopped(int result) {
    errno = ECANCELED;
    return result;
}
}  // namespace

void sw_set_stop(bool (*stopping)()) { g_stopping = stopping; }

bool sw_stopping() {
    if (!g_stopping) return false;
    int e = errno;
    bool s = g_stopping();
    errno = e;
    return s;
}

int sw_poll(int fd, short events, int timeoutMs) {
    long long deadline = timeoutMs < 0 ? -1 : orv::nowMs() + timeoutMs;
    for (;;) {
        if (sw_stopping()) return stopped(-2);
        int wait = -1;
        if (deadline >= 0) {
            long long left = deadline - orv::nowMs();
            wait = left < 0 ? 0 : (int)left;
        }
        struct pollfd p[2] = {{fd, events, 0}, {sig_wake_fd(), POLLIN, 0}};
        int n = p[1].fd >= 0 ? 2 : 1;
        int r = poll(p, (nfds_t)n, wait);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 2 && p[1].revents) sig_wake_drain();
        // A byte in the pipe means a signal came: the check above decides.
        if (p[0].revents) {
            if (sw_stopping()) return stopped(-2);
            return 1;
        }
        if (r == 0 && deadline >= 0 && orv::nowMs() >= deadline) return 0;
    }
}

bool sw_sleep(long long ms) {
    long long deadline = orv::nowMs() + (ms > 0 ? ms : 0);
    for (;;) {
        if (sw_stopping()) {
            errno = ECANCELED;
            return false;
        }
        long long left = deadline - orv::nowMs();
        if (left <= 0) return true;
        // Slices of at most a minute: a long wait needs no huge poll value.
        int wait = left > 60000 ? 60000 : (int)left;
        struct pollfd p = {sig_wake_fd(), POLLIN, 0};
        int r = poll(&p, p.fd >= 0 ? 1 : 0, wait);
        if (r > 0) sig_wake_drain();
    }
}

int sw_semop(int id, short op, short flags) {
    struct sembuf b;
    b.sem_num = 0;
    b.sem_op = op;
    b.sem_flg = flags;
    for (;;) {
        if (sw_stopping()) return stopped(-1);
        struct timespec slice = {0, kSwSlice * 1000000L};
        if (semtimedop(id, &b, 1, &slice) == 0) return 0;
        if (errno != EINTR && errno != EAGAIN) return -1;
    }
}

int sw_msgsnd(int qid, const void* msg, size_t size) {
    for (;;) {
        int r;
        bool stop;
        with_signals_held([&] {
            stop = sw_stopping();
            r = stop ? -1 : msgsnd(qid, msg, size, IPC_NOWAIT);
        });
        if (stop) return stopped(-1);
        if (r == 0) return 0;
        if (errno != EAGAIN && errno != EINTR) return -1;
        // Full: the reader takes records as it serves them.
        if (!sw_sleep(kSwSlice / 10)) return -1;
    }
}

ssize_t sw_send(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    size_t off = 0;
    while (off < len) {
        ssize_t w;
        bool stop;
        with_signals_held([&] {
            stop = sw_stopping();
            w = stop ? -1 : send(fd, p + off, len - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        });
        if (stop) return stopped(-1);
        if (w > 0) {
            off += (size_t)w;
            continue;
        }
        if (w < 0 && errno == ENOTSOCK) {
            // Not a socket (a pipe in a test): a plain write.
            w = write(fd, p + off, len - off);
            if (w > 0) {
                off += (size_t)w;
                continue;
            }
        }
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            int r = sw_poll(fd, POLLOUT, -1);
            if (r < 0) return -1;
            continue;
        }
        return -1;
    }
    return (ssize_t)len;
}

pid_t sw_waitpid(pid_t pid, int* status) {
    for (;;) {
        if (sw_stopping()) return stopped(-1);
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            if (status) *status = st;
            return r;
        }
        if (r < 0 && errno != EINTR) return -1;
        // SIGCHLD (when caught) wakes the pause at once; the slice covers a
        // process that has it ignored.
        if (!sw_sleep(kSwSlice / 5)) return -1;
    }
}
