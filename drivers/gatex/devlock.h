// devlock: the lock that gives one process of a driver daemon at a time the field
// network. A System V semaphore in a private set (0600), value 1; taking is -1 and
// releasing +1, both with SEM_UNDO, so a process that dies holding it (SIGKILL
// included) gives it back. The main process creates it; connection processes
// inherit its id.
#pragma once

// Creates the semaphore and sets it to 1. 0, or -1 after logging "semget() failed."
// or "semctl() failed.".
int devlock_create();
// Blocks until the lock is ours. 0, or -1 when the semaphore is gone or the
// process is to stop (errno ECANCELED; the lock is not ours).
int devlock_take();
void devlock_release();
// The semaphore's id (-1 before devlock_create), for tests.
int devlock_id();
