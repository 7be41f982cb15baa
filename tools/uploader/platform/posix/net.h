// Socket helpers shared by the FTP client and the session socket: the name look-up,
// the socket, and the waits and connect of the common deadline layer
// (drivers/common/deadline.h) the way the uploader uses them.
#pragma once

#include "deadline.h"

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace uplder::posix {

using orv::Deadline;
using orv::Wait;

// Every wait of the uploader gives up once its deadline has passed, ready or not:
// a session whose time is over does nothing more.
inline Wait waitFd(int fd, short events, const Deadline& d) {
    return orv::waitFd(fd, events, d, orv::AtDeadline::GiveUp);
}

// IPv4 address of host (a dotted address or a name); false when unknown.
bool resolveIPv4(const std::string& host, in_addr& out);

// Non-blocking stream socket, close-on-exec. -1 on failure (errno).
int streamSocket();

// Connects fd to addr:port. Returns 0, or an errno value; ETIMEDOUT with
// *timedOut set when the deadline ended the wait.
int connectWithin(int fd, const in_addr& addr, uint16_t port, const Deadline& d, bool* timedOut);

}  // namespace uplder::posix
