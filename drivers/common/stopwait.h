// stopwait: the one way a daemon waits for something "or for the stop". Every
// blocking wait of the daemons goes through here: a descriptor (a serial line, a
// socket, a client), a pause, a System V semaphore, a message-queue send, a child.
// A SIGTERM or SIGHUP must be acted on within a fraction of a second wherever the
// process waits, not after a wait that the line, a peer or a client may stretch
// without limit.
//
// Each process says once what "stop" means for it (sw_set_stop): a check that
// looks at its signal flags. The check may end the process itself, with its own
// clean-up (the commander and the transceiver end where they are), or return true
// so that the wait gives up and its caller unwinds (the gatex main process, which
// restarts as well as ends). Without a check, nothing stops a wait early.
//
// Descriptors and pauses wait in poll() beside the self-pipe of sigwake, so a
// signal ends the wait at once. Semaphores and message queues cannot be polled:
// the semaphore waits in slices of kSwSlice ms (a signal also ends a slice at once,
// by EINTR; the slice only bounds a signal that came just before the call), a
// queue send that would block retries in such slices.
#pragma once
#include <sys/types.h>

// The longest a signal can go unnoticed in a wait that cannot poll the pipe.
constexpr int kSwSlice = 100;  // ms

// The process's stop check (nullptr: none). A child inherits its parent's and
// replaces it when it means something else by a stop.
void sw_set_stop(bool (*stopping)());
// Runs the check: true when the process is to stop waiting (errno kept).
bool sw_stopping();

// Waits until fd is ready for events, timeoutMs have passed (< 0: no limit), or
// the stop. 1 ready, 0 timed out, -1 poll error (errno), -2 stopped (errno
// ECANCELED). The stop is looked at first, also when fd is ready already: a line
// that never stops sending cannot hold a stop off.
int sw_poll(int fd, short events, int timeoutMs);

// Sleeps ms; false at once when the stop came (then errno is ECANCELED).
bool sw_sleep(long long ms);

// One semaphore operation on semaphore 0 of the set, with flags (SEM_UNDO), that
// waits for the stop beside the semaphore. 0; -1 with errno (ECANCELED stopped).
int sw_semop(int id, short op, short flags);

// msgsnd that waits, when the queue is full, until there is room or the stop.
// 0; -1 with errno (ECANCELED stopped). It never gives up on its own. The stop
// check and the send are one step (signals held off between them), so nothing is
// sent once a stop has come: a command that goes out came before the stop.
int sw_msgsnd(int qid, const void* msg, size_t size);

// Writes len bytes to a socket as sw_msgsnd sends a record: each piece after a
// check for the stop, waiting for room beside the stop. MSG_NOSIGNAL: a client
// that went away fails the write rather than killing the process. The bytes
// written (len when all went), or -1 with errno.
ssize_t sw_send(int fd, const void* data, size_t len);

// Waits for the child pid to end (reaped; *status when given) or the stop.
// pid, -1 with errno (ECHILD: already reaped elsewhere; ECANCELED stopped).
pid_t sw_waitpid(pid_t pid, int* status);
