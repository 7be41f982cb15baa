// semlock: the System V lock that gives one process of a driver daemon at a time
// what they share (the field network of gatex1d and gatex2d, the transceiver
// exchange of ZR1Communicator). A private set of one semaphore, mode 0600, value 1;
// taking is -1 and releasing +1, both with SEM_UNDO, so that a process that dies
// while it holds the lock (SIGKILL included) gives it back. The set is private:
// only the process that makes it and the children it forks share it.
//
// The daemons log failures in their own words, so these functions only report.
#pragma once

// Makes the set and sets it to 1. 0; -1 when semget failed (*id is -1); -2 when
// the value could not be set (*id is the set). errno is that of the failed call.
int semlock_create(int* id);

// One operation on the set's semaphore: -1 takes, +1 releases. Taking waits for
// the lock or the process's stop (stopwait): a signal never costs the caller the
// lock, but a stop ends the wait (-1, errno ECANCELED; the lock is not ours).
// Releasing never waits. 0, or -1 with errno.
int semlock_op(int id, int delta);
