// semlock: see semlock.h.
#include "semlock.h"

#include <sys/ipc.h>
#include <sys/sem.h>

#include <cerrno>

#include "stopwait.h"

union semlock_arg {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

int semlock_create(int* id) {
    *id = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    if (*id < 0) return -1;
    semlock_arg ctl_arg;
    ctl_arg.val = 1;
    if (semctl(*id, 0, SETVAL, ctl_arg) < 0) return -2;
    return 0;
}

int semlock_op(int id, int delta) {
    if (delta < 0) return sw_semop(id, (short)delta, SEM_UNDO);
    // Giving the lock back never waits and is never given up for a stop: the
    // others wait for it.
    struct sembuf b;
    b.sem_num = 0;
    b.sem_op = (short)delta;
    b.sem_flg = SEM_UNDO;
    for (;;) {
        if (semop(id, &b, 1) == 0) return 0;
        if (errno != EINTR) return -1;
    }
}
