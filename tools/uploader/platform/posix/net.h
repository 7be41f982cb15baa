// Socket helpers shared by the FTP client and the session socket: deadlines on
// the monotonic clock, waits with poll, a connect that honours a deadline.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace uplder::posix {

using Clock = std::chrono::steady_clock;

// A point in time a wait must not pass; "none" waits without limit.
struct Deadline {
    bool set = false;
    Clock::time_point at{};
    static Deadline in(uint32_t ms) { return {true, Clock::now() + std::chrono::milliseconds(ms)}; }
    static Deadline none() { return {}; }
    bool passed() const { return set && Clock::now() >= at; }
    int pollTimeout() const;  // milliseconds for poll, -1 without limit
};

enum class Wait { Ready, TimedOut, Failed };

// Waits until fd is ready for events (POLLIN / POLLOUT) or the deadline.
Wait waitFd(int fd, short events, const Deadline& d);

// IPv4 address of host (a dotted address or a name); false when unknown.
bool resolveIPv4(const std::string& host, in_addr& out);

// Non-blocking stream socket, close-on-exec. -1 on failure (errno).
int streamSocket();

// Connects fd to addr:port. Returns 0, or an errno value; ETIMEDOUT with
// *timedOut set when the deadline ended the wait.
int connectWithin(int fd, const in_addr& addr, uint16_t port, const Deadline& d, bool* timedOut);

}  // namespace uplder::posix
