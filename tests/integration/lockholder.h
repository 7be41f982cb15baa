// lockholder: the killed-lock-holder scenario of the daemons' tests. One
// connection process takes the lock of the field network (a System V semaphore
// taken with SEM_UNDO: drivers/gatex/devlock.h, ZR1Communicator's MySemop) for an
// exchange that waits on a silent peer, a second client waits for the lock, and
// the holder is SIGKILLed: the kernel's undo must give the lock to the waiter. Each step waits for what the kernel shows of the
// semaphore (its value, its last operator, its waiters), not for a guessed time.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace lockholder {

// One semaphore set of this IPC namespace (the rig's: the daemon's sets only).
struct Semaphore {
    int id = -1;
    int value = -1;     // 0 while the lock is held
    int waiting = 0;    // processes blocked taking it
    pid_t lastPid = -1; // the last process that took or released it
};
std::vector<Semaphore> semaphores();

struct Outcome {
    std::string error;        // set when the scenario could not be set up
    pid_t holder = -1;        // the connection process that was killed
    bool holderClosed = false;  // its client saw the connection closed
    std::string waiterAnswer;   // the waiting client's answer ("" without a waiter)
    long long resumeMs = -1;    // from the kill to that answer
};

// daemon: the process name; holderLine: a request that takes the lock and keeps it
// (a reading of a silent meter or gateway, line end included); waiterLine: a
// request that needs the lock ("" for no waiting client). boundMs bounds every step;
// afterKill runs right after the kill (e.g. to let a stopped peer go on).
Outcome killLockHolder(const std::string& daemon, int port, const std::string& holderLine,
                       const std::string& waiterLine, int boundMs, const std::function<void()>& afterKill = {});

}  // namespace lockholder
