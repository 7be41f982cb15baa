// sigwake: see sigwake.h.
#include "sigwake.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
volatile int g_pipe[2] = {-1, -1};

void close_ends() {
    for (int i = 0; i < 2; i++) {
        if (g_pipe[i] >= 0) close(g_pipe[i]);
        g_pipe[i] = -1;
    }
}

// Runs with every signal held off and gives the old mask back.
template <class F>
void with_signals_blocked(F f) {
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    f();
    sigprocmask(SIG_SETMASK, &old, nullptr);
}
}  // namespace

void sig_handle(int sig, void (*fn)(int), bool restart) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = fn;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = restart ? SA_RESTART : 0;
    sigaction(sig, &sa, nullptr);
}

bool sig_wake_open() {
    bool ok = false;
    with_signals_blocked([&] {
        close_ends();
        int p[2];
        if (pipe(p) < 0) return;
        for (int fd : p) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        g_pipe[0] = p[0];
        g_pipe[1] = p[1];
        ok = true;
    });
    return ok;
}

void sig_wake_close() { with_signals_blocked(close_ends); }

void sig_wake() {
    int saved = errno;
    int fd = g_pipe[1];
    if (fd >= 0) {
        ssize_t r = write(fd, "x", 1);  // a full pipe already wakes the loop
        (void)r;
    }
    errno = saved;
}

int sig_wake_fd() { return g_pipe[0]; }

void sig_wake_drain() {
    char buf[64];
    if (g_pipe[0] < 0) return;
    while (read(g_pipe[0], buf, sizeof buf) > 0) {
    }
}
