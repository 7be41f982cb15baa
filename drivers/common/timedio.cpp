// timedio: see timedio.h.
#include "timedio.h"

#include "deadline.h"
#include "stopwait.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

void (*tio_test_delay)() = nullptr;

namespace {
orv::Deadline deadline_in(int timeoutMs) {
    orv::Deadline d = orv::Deadline::in(timeoutMs);
    if (tio_test_delay) tio_test_delay();
    return d;
}

// Waits until ready or the deadline, or the process's stop (stopwait): a signal
// that is no stop only ends one poll, the next one waits for what is left. What is
// ready when the deadline has passed still counts. 1, 0, or -1 (errno; ECANCELED
// for the stop).
int wait_until(int fd, short events, const orv::Deadline& deadline) {
    switch (orv::waitFd(fd, events, deadline, orv::AtDeadline::LookOnce, sw_poll)) {
    case orv::Wait::Ready: return 1;
    case orv::Wait::TimedOut: return 0;
    default: return -1;
    }
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
    orv::Deadline deadline = deadline_in(timeoutMs);
    int flags = set_nonblock(sock, true);
    if (flags < 0) return -1;
    int err = orv::connectWithin(sock, addr, len, deadline, orv::AtDeadline::LookOnce, nullptr, sw_poll);
    fcntl(sock, F_SETFL, flags);
    errno = err;
    return err == 0 ? 0 : -1;
}

ssize_t tio_read(int fd, void* buf, size_t size, int timeoutMs) {
    orv::Deadline deadline = deadline_in(timeoutMs);
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
