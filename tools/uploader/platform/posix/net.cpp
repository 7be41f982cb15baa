// net: the name look-up, the socket and the bounded connect of the Linux FTP client
// and session socket; see net.h.
#include "net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

namespace uplder::posix {

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
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr = addr;
    return orv::connectWithin(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa, d, orv::AtDeadline::GiveUp,
                              timedOut);
}

}  // namespace uplder::posix
