// timedio: see timedio.h.
#include "timedio.h"

#include "stopwait.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

void (*tio_test_delay)() = nullptr;

namespace {
long long now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

long long deadline_in(int timeoutMs) {
    long long d = now_ms() + (timeoutMs > 0 ? timeoutMs : 0);
    if (tio_test_delay) tio_test_delay();
    return d;
}

// Waits until ready or the deadline, or the process's stop (stopwait): a signal
// that is no stop only ends one poll, the next one waits for what is left.
// 1, 0, or -1 (errno; ECANCELED for the stop).
int wait_until(int fd, short events, long long deadline) {
    long long left = deadline - now_ms();
    int r = sw_poll(fd, events, left < 0 ? 0 : (int)left);
    return r < 0 ? -1 : r;
}

// O_NONBLOCK on or off; returns the flags as they were, -1 on failure.
int set_nonblock(int fd, bool on) {
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0) return -1;
    int want = on ? fl | O_NONBLOCK : fl & ~O_NONBLOCK;
    if (want != fl && fcntl(fd, F_SETFL, want) < 0) return -1;
    return fl;
}
}  // namespace

int tio_wait(int fd, short events, int timeoutMs) { return wait_until(fd, events, deadline_in(timeoutMs)); }

int tio_connect(int sock, const struct sockaddr* addr, socklen_t len, int timeoutMs) {
    long long deadline = deadline_in(timeoutMs);
    int flags = set_nonblock(sock, true);
    if (flags < 0) return -1;
    int result = 0, err = 0;
    if (connect(sock, addr, len) < 0) {
        if (errno != EINPROGRESS) {
            err = errno;
            result = -1;
        } else {
            int w = wait_until(sock, POLLOUT, deadline);
            socklen_t elen = sizeof err;
            if (w == 0) {
                err = ETIMEDOUT;
                result = -1;
            } else if (w < 0) {
                err = errno;
                result = -1;
            } else if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &elen) < 0 || err != 0) {
                if (err == 0) err = errno;
                result = -1;
            }
        }
    }
    fcntl(sock, F_SETFL, flags);
    errno = err;
    return result;
}

ssize_t tio_read(int fd, void* buf, size_t size, int timeoutMs) {
    long long deadline = deadline_in(timeoutMs);
    for (;;) {
        int w = wait_until(fd, POLLIN, deadline);
        if (w == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (w < 0) return -1;
        // Ready need not mean a read would return (another reader, a spurious
        // wake-up): the read itself is non-blocking, and comes back to the wait.
        int flags = set_nonblock(fd, true);
        if (flags < 0) return -1;
        ssize_t n = read(fd, buf, size);
        int err = errno;
        fcntl(fd, F_SETFL, flags);
        errno = err;
        if (n >= 0) return n;
        if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) return -1;
    }
}
