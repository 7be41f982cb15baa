// deadline: see deadline.h.
#include "deadline.h"

#include <poll.h>

#include <cerrno>
#include <ctime>

namespace orv {

long long nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int Deadline::leftMs() const {
    if (!set) return -1;
    long long left = atMs - nowMs();
    if (left <= 0) return 0;
    return left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
}

int plainPoll(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, timeoutMs);
}

Wait waitFd(int fd, short events, const Deadline& d, AtDeadline at, PollFn poll) {
    for (;;) {
        if (at == AtDeadline::GiveUp && d.passed()) return Wait::TimedOut;
        int r = poll(fd, events, d.leftMs());
        if (r > 0) return Wait::Ready;
        if (r < 0) {
            if (errno == EINTR) continue;
            return Wait::Failed;
        }
        // A poll may end a little before the deadline (whole milliseconds): the
        // rest is waited for.
        if (d.passed()) return Wait::TimedOut;
    }
}

int connectWithin(int fd, const sockaddr* addr, socklen_t len, const Deadline& d, AtDeadline at, bool* timedOut,
                  PollFn poll) {
    if (timedOut) *timedOut = false;
    if (at == AtDeadline::GiveUp && d.passed()) {
        if (timedOut) *timedOut = true;
        return ETIMEDOUT;
    }
    if (::connect(fd, addr, len) == 0) return 0;
    // EINTR: the connect goes on in the background, as EINPROGRESS.
    if (errno != EINPROGRESS && errno != EINTR) return errno;
    Wait w = waitFd(fd, POLLOUT, d, at, poll);
    if (w == Wait::TimedOut) {
        if (timedOut) *timedOut = true;
        return ETIMEDOUT;
    }
    if (w == Wait::Failed) return errno;
    int err = 0;
    socklen_t elen = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &elen) != 0) return errno;
    return err;
}

}  // namespace orv
