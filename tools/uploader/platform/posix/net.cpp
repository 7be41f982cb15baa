// net: deadlines on the monotonic clock, poll waits and a connect bounded by a
// deadline, for the Linux FTP client and session socket; see net.h.
#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace uplder::posix {

int Deadline::pollTimeout() const {
    if (!set) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at - Clock::now()).count();
    if (left <= 0) return 0;
    // Round up so that a wait never ends just short of the deadline.
    return left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left) + 1;
}

Wait waitFd(int fd, short events, const Deadline& d) {
    for (;;) {
        if (d.passed()) return Wait::TimedOut;
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, d.pollTimeout());
        if (r < 0) {
            if (errno == EINTR) continue;
            return Wait::Failed;
        }
        if (r == 0) {
            if (d.passed()) return Wait::TimedOut;
            continue;
        }
        return Wait::Ready;  // errors and hang-ups show up in the next call
    }
}

bool resolveIPv4(const std::string& host, in_addr& out) {
    if (::inet_pton(AF_INET, host.c_str(), &out) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
    out = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    ::freeaddrinfo(res);
    return true;
}

int streamSocket() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return fd;
}

int connectWithin(int fd, const in_addr& addr, uint16_t port, const Deadline& d, bool* timedOut) {
    if (timedOut) *timedOut = false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr = addr;
    if (d.passed()) {
        if (timedOut) *timedOut = true;
        return ETIMEDOUT;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
    if (errno != EINPROGRESS && errno != EINTR) return errno;
    Wait w = waitFd(fd, POLLOUT, d);
    if (w == Wait::TimedOut) {
        if (timedOut) *timedOut = true;
        return ETIMEDOUT;
    }
    if (w == Wait::Failed) return errno;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

}  // namespace uplder::posix
