// timedio: a wait, a connect and a read, each bounded by a deadline, for the field
// links of the driver daemons (the meter line of gatex1d, the gateway sockets of
// gatex2d). Those calls run while the process holds the field-network lock, so they
// must never block past their time: every later reading of that network waits
// behind them.
//
// A one-shot timer signal cannot promise that: when it fires before the blocking
// call has been entered (a short limit on a busy appliance), it is spent, and the
// call then waits for good. Here nothing depends on a signal arriving at the right
// moment: the limit is a deadline on the monotonic clock, every wait is a poll() for
// the time that is left (a signal only shortens one poll), the connect is
// non-blocking, and the read itself never blocks.
#pragma once
#include <sys/socket.h>
#include <sys/types.h>

// Each wait also ends at the process's stop (stopwait.h): -1 with errno ECANCELED.
//
// Waits until fd is ready for events or timeoutMs (<= 0: none) have passed.
// 1 ready, 0 timed out, -1 on a poll error or the stop (errno set).
int tio_wait(int fd, short events, int timeoutMs);

// Connects sock to addr within timeoutMs. The socket is back in blocking mode
// afterwards. 0, or -1 with errno (ETIMEDOUT when the time ran out).
int tio_connect(int sock, const struct sockaddr* addr, socklen_t len, int timeoutMs);

// One read of at most size bytes within timeoutMs: the byte count, 0 at end of
// file, or -1 with errno (ETIMEDOUT when nothing came in time).
ssize_t tio_read(int fd, void* buf, size_t size, int timeoutMs);

// Tests: when set, runs after the deadline has been fixed and before the first
// wait, where a real process may be held up by the scheduler for any time.
extern void (*tio_test_delay)();
