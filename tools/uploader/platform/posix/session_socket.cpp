// session_socket: the remote session's non-blocking socket on Linux, every wait
// bounded by the session deadline; see session_socket.h.
#include "session_socket.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace uplder::posix {

bool PosixSessionSocket::startup() {
    // A peer that hangs up must show as a failed send, not end the program.
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

bool PosixSessionSocket::create() {
    close();
    m_fd = streamSocket();
    if (m_fd < 0) {
        m_error = errno;
        return false;
    }
    return true;
}

bool PosixSessionSocket::startDeadline(uint32_t ms) {
    m_deadline = Deadline::in(ms);
    return true;
}

IoResult PosixSessionSocket::connect(const std::string& host, uint16_t port) {
    in_addr addr{};
    if (!resolveIPv4(host, addr)) {
        m_error = EHOSTUNREACH;
        return IoResult::Failed;
    }
    bool timedOut = false;
    int err = connectWithin(m_fd, addr, port, m_deadline, &timedOut);
    if (err == 0) return IoResult::Ok;
    m_error = err;
    return timedOut ? IoResult::TimedOut : IoResult::Failed;
}

IoResult PosixSessionSocket::receive(uint8_t* buf, size_t cap, size_t& got) {
    got = 0;
    for (;;) {
        Wait w = waitFd(m_fd, POLLIN, m_deadline);
        if (w == Wait::TimedOut) return IoResult::TimedOut;
        if (w == Wait::Failed) {
            m_error = errno;
            return IoResult::Failed;
        }
        ssize_t n = ::recv(m_fd, buf, cap, 0);
        if (n > 0) {
            got = static_cast<size_t>(n);
            return IoResult::Ok;
        }
        if (n == 0) return IoResult::Closed;
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        m_error = errno;
        return IoResult::Failed;
    }
}

IoResult PosixSessionSocket::send(const uint8_t* buf, size_t len) {
    size_t done = 0;
    while (done < len) {
        Wait w = waitFd(m_fd, POLLOUT, m_deadline);
        if (w == Wait::TimedOut) return IoResult::TimedOut;
        if (w == Wait::Failed) {
            m_error = errno;
            return IoResult::Failed;
        }
        ssize_t n = ::send(m_fd, buf + done, len - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        m_error = n < 0 ? errno : EPIPE;
        return IoResult::Failed;
    }
    return IoResult::Ok;
}

void PosixSessionSocket::close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

void PosixSessionSocket::sleepMs(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace uplder::posix
