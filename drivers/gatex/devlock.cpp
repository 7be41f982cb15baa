// devlock: see devlock.h.
#include "devlock.h"

#include <cerrno>
#include <sys/ipc.h>
#include <sys/sem.h>

#include "log.h"

static int g_sem = -1;

int devlock_create() {
    g_sem = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    if (g_sem < 0) {
        drv_log(LOG_ERR, "semget() failed.");
        return -1;
    }
    if (semctl(g_sem, 0, SETVAL, 1) < 0) {
        drv_log(LOG_ERR, "semctl() failed.");
        return -1;
    }
    return 0;
}

static int op(short delta) {
    struct sembuf b;
    b.sem_num = 0;
    b.sem_op = delta;
    b.sem_flg = SEM_UNDO;
    int r;
    // A signal (SIGCHLD in the main process, the read timer) must not cost us the lock.
    do r = semop(g_sem, &b, 1);
    while (r < 0 && errno == EINTR);
    return r;
}

int devlock_take() { return op(-1); }
void devlock_release() { op(1); }
int devlock_id() { return g_sem; }
