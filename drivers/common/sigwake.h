// sigwake: signal handlers that do nothing but set a flag and wake the loop that
// acts on it. The work a signal asks for (ending, restarting, reaping children,
// writing logs) then runs in the program's own loop, where any call is allowed,
// instead of at whatever point the signal interrupted.
//
// The wake-up is a self-pipe: the handler writes a byte, the loop polls the read
// end beside its other descriptors. Looking at the flag and then blocking would
// otherwise lose a signal that arrives in between. Each process has its own pipe:
// a child that keeps waiting on its parent's could have its wake-up taken by the
// parent, so a child makes its own with sig_wake_open() right after fork.
#pragma once

// Installs fn for sig with an empty mask. restart: interrupted system calls are
// restarted (SA_RESTART); without it they fail with EINTR, so a loop that blocks
// in them sees the flag at once.
void sig_handle(int sig, void (*fn)(int), bool restart);

// Makes this process's pipe (both ends non-blocking and close-on-exec), replacing
// one inherited through fork. Signals are held off while the ends change, so a
// handler never writes to a descriptor that is being closed. false on failure
// (handlers then only set their flags).
bool sig_wake_open();
// Closes this process's pipe (a child that does not wait for signals).
void sig_wake_close();
// For handlers: wakes the loop. Async-signal-safe; errno is kept.
void sig_wake();
// The end to poll for POLLIN; -1 when there is none.
int sig_wake_fd();
// Empties the pipe after a wake-up.
void sig_wake_drain();
