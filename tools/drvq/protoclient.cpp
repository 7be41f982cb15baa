// protoclient: one line-by-line connection to a driver daemon; see protoclient.h.
#include "protoclient.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace drvq {

namespace {

using orv::AtDeadline;
using orv::Deadline;
using orv::Wait;

bool resolve(const std::string& host, int port, sockaddr_in& addr, std::string& error)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || !res) {
        error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return false;
    }
    addr.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return true;
}

// One non-blocking connect with a bound; the connected fd, or -1 with errno set.
int connectAddr(const sockaddr_in& addr, int timeoutMs)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    int err = orv::connectWithin(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr,
                                 Deadline::in(timeoutMs), AtDeadline::LookOnce);
    if (err != 0) {
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

}  // namespace

ProtoClient::~ProtoClient() { close(); }

void ProtoClient::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void ProtoClient::reset()
{
    close();
    eof_ = false;
    timedOut_ = false;
    buf_.clear();
    error_.clear();
    skipped_.clear();
}

bool ProtoClient::connectOnce(const std::string& host, int port, int timeoutMs)
{
    reset();
    sockaddr_in addr{};
    if (!resolve(host, port, addr, error_))
        return false;
    fd_ = connectAddr(addr, timeoutMs);
    if (fd_ < 0)
        error_ = std::strerror(errno);
    return fd_ >= 0;
}

bool ProtoClient::connect(const std::string& host, int port, int timeoutMs)
{
    reset();
    sockaddr_in addr{};
    if (!resolve(host, port, addr, error_))
        return false;
    Deadline deadline = Deadline::in(timeoutMs);
    for (;;) {
        int left = deadline.leftMs();
        fd_ = connectAddr(addr, left > 200 ? 200 : left > 0 ? left : 1);
        if (fd_ >= 0)
            return true;
        error_ = std::strerror(errno);
        if (deadline.passed())
            return false;
        // A listener that is not up yet refuses at once: pause before the next try.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool ProtoClient::sendLine(std::string_view text, int timeoutMs)
{
    if (fd_ < 0)
        return false;
    size_t done = 0;
    Deadline deadline = Deadline::in(timeoutMs);
    while (done < text.size()) {
        ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (orv::waitFd(fd_, POLLOUT, deadline, AtDeadline::GiveUp) != Wait::Ready)
                return false;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool ProtoClient::fill(const Deadline& deadline)
{
    if (fd_ < 0 || eof_)
        return false;
    for (;;) {
        // What has come in by the deadline is still read (a zero bound looks once).
        Wait w = orv::waitFd(fd_, POLLIN, deadline, AtDeadline::LookOnce);
        if (w == Wait::TimedOut) {
            timedOut_ = true;
            return false;
        }
        if (w == Wait::Failed)
            return false;
        char chunk[65536];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n > 0) {
            buf_.append(chunk, static_cast<size_t>(n));
            return true;
        }
        if (n == 0) {
            eof_ = true;
            return false;
        }
        if (errno == EINTR || errno == EAGAIN)
            continue;
        // A reset connection ends the stream too.
        eof_ = true;
        return false;
    }
}

std::optional<std::string> ProtoClient::readLine(int timeoutMs)
{
    timedOut_ = false;
    Deadline deadline = Deadline::in(timeoutMs);
    for (;;) {
        size_t nl = buf_.find('\n');
        if (nl != std::string::npos) {
            std::string line = buf_.substr(0, nl + 1);
            buf_.erase(0, nl + 1);
            return line;
        }
        if (!fill(deadline)) {
            if (eof_ && !buf_.empty()) {
                std::string rest;
                rest.swap(buf_);
                return rest;
            }
            return std::nullopt;
        }
    }
}

std::optional<std::string> ProtoClient::readResponse(int timeoutMs)
{
    Deadline deadline = Deadline::in(timeoutMs);
    for (;;) {
        auto line = readLine(deadline.leftMs());
        if (!line)
            return std::nullopt;
        if (!line->empty() && (*line)[0] == '!') {
            skipped_.push_back(*line);
            continue;
        }
        return line;
    }
}

std::optional<std::string> ProtoClient::request(std::string_view line, int timeoutMs)
{
    if (!sendLine(line, timeoutMs))
        return std::nullopt;
    return readResponse(timeoutMs);
}

bool ProtoClient::closed(int timeoutMs)
{
    Deadline deadline = Deadline::in(timeoutMs);
    while (!eof_ && fd_ >= 0) {
        if (!fill(deadline) && !eof_)
            break;
    }
    return eof_;
}

}  // namespace drvq
