// deadline: the one deadline of the POSIX code. A point on the monotonic clock that a
// wait must not pass, a wait on one descriptor bounded by it, and a non-blocking
// connect bounded by it. The field links of the daemons (timedio), the uploader's
// Linux FTP client and session socket, and drvq's protocol client all wait through
// here, so a signal, a poll that comes back a little early or a process held up by
// the scheduler is handled in one place.
//
// A wait is a loop of polls for the time that is left: a signal ends one poll, the
// next waits for the rest. Who must also end at the daemon's stop passes its own
// poll (sw_poll of stopwait.h); everyone else takes plainPoll.
#pragma once

#include <sys/socket.h>

namespace orv {

// Milliseconds of the monotonic clock.
long long nowMs();

// A point in time a wait must not pass; none() waits without limit.
struct Deadline {
    bool set = false;
    long long atMs = 0;
    static Deadline in(long long ms) { return {true, nowMs() + (ms > 0 ? ms : 0)}; }
    static Deadline none() { return {}; }
    bool passed() const { return set && nowMs() >= atMs; }
    // Milliseconds left for a poll: 0 once passed, -1 without limit.
    int leftMs() const;
};

// One poll of one descriptor: 1 ready, 0 timed out, -1 with errno. timeoutMs < 0
// waits without limit.
using PollFn = int (*)(int fd, short events, int timeoutMs);
int plainPoll(int fd, short events, int timeoutMs);

// What a wait does once its deadline has passed before it looked.
enum class AtDeadline {
    LookOnce,  // what is ready by then still counts (a read takes an answer that is there)
    GiveUp,    // nothing more after the time, ready or not (a session's deadline)
};

enum class Wait { Ready, TimedOut, Failed };

// Waits until fd is ready for events (POLLIN / POLLOUT) or the deadline. Failed
// leaves errno as the poll set it (ECANCELED: sw_poll saw the stop); errors and
// hang-ups of fd itself show up as Ready, in the next call on it.
Wait waitFd(int fd, short events, const Deadline& d, AtDeadline at, PollFn poll = plainPoll);

// Connects the non-blocking socket fd to addr. 0, or an errno value: ETIMEDOUT
// with *timedOut set when the deadline ended the wait (GiveUp: also when it had
// passed before the connect was tried).
int connectWithin(int fd, const sockaddr* addr, socklen_t len, const Deadline& d, AtDeadline at,
                  bool* timedOut = nullptr, PollFn poll = plainPoll);

}  // namespace orv
