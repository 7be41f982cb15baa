// daemonframe: the process frame of the gatex driver daemons (gatex1d, gatex2d):
// system log, shared segment and device lock, options, configuration, becoming a
// daemon, signals (SIGHUP restarts, SIGTERM ends, SIGCHLD reaps), the listener
// with its bind retries, and one process per connection running the request loop.
//
// A daemon describes itself in a FrameHooks and calls frame_run(), which returns
// only by exiting. Restarts and termination are driven from the accept loop: the
// signal handlers only set a flag and wake it, so nothing non-trivial runs inside
// a handler of the main process.
//
// The main process's id lives in a small shared page that every process of the
// daemon maps, so a connection that was accepted before a restart still sends kill
// and hup to the main process of now, never to an id that is no longer ours.
#pragma once
#include <cstddef>

#include "reqloop.h"

struct FrameHooks {
    const char* program;  // log identity, "gatex1d"
    int shmKey;           // 1111
    // Size of the shared segment, asked each time it is created.
    size_t (*shmSize)();
    // false (gatex1d): the segment is created once at the very start and kept over
    // restarts. true (gatex2d): created after the configuration at every start and
    // removed on restart, so each start begins with an empty one.
    bool shmPerStart;
    // Called after the segment is created (it is zero-filled by the system).
    void (*shmCreated)(void* base);
    // ini section mode (gatex2d).
    bool iniSections;
    // After the configuration file has been loaded: take the keys (ini_value).
    void (*configure)();
    int (*port)();
    // Logs the settings (information priority).
    void (*logSettings)();
    // Before becoming a daemon (interface table, request parser).
    void (*prepare)();
    // After becoming a daemon, before listening (gatex1d: start-up wait and scan).
    // firstStart is false after a restart.
    void (*beforeListen)(bool firstStart);
    const drv::Dialect* dialect;
};

// Runs the daemon. Never returns.
[[noreturn]] void frame_run(const FrameHooks& hooks, int argc, char** argv);

// The attached shared segment (nullptr before it exists).
void* frame_shm();

// Sends SIGTERM or SIGHUP to the daemon's current main process; used by the kill
// and hup requests of every connection. Does nothing while there is none.
void frame_request_kill();
void frame_request_hup();

// Sleeps up to seconds in the main process; returns false at once when a restart
// or termination is pending (the caller then gives up what it waits for). In a
// connection process it is a plain sleep.
bool frame_pause(unsigned seconds);
// True in the main process once a restart or termination is pending: long work
// before the listener (the start-up scan) gives up at its next step.
bool frame_stopping();

// Binds with retries: attempt() is one bind (0 or -1 with errno). After each
// failed attempt logs "bind: %s, retry" and waits kFrameBindWait seconds through
// pause (false: stop waiting); when the last attempt and its wait are over, logs
// "bind: %s, %d times.". 1 bound, 0 given up, -1 the wait was cut short.
int frame_bind_retry(int (*attempt)(void* ctx), void* ctx, bool (*pause)(unsigned seconds));

// Number of bind attempts and the wait after each failed one.
constexpr int kFrameBindAttempts = 8;
constexpr unsigned kFrameBindWait = 30;
constexpr int kFrameBacklog = 5;
