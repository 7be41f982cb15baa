// devlock: see devlock.h.
#include "devlock.h"

#include "log.h"
#include "semlock.h"

static int g_sem = -1;

int devlock_create() {
    int r = semlock_create(&g_sem);
    if (r == -1) drv_log(LOG_ERR, "semget() failed.");
    if (r == -2) drv_log(LOG_ERR, "semctl() failed.");
    return r < 0 ? -1 : 0;
}

// A signal (SIGCHLD in the main process) must not cost us the lock: semlock retries.
// A stop of the main process (stopwait) ends the wait: -1, errno ECANCELED.
int devlock_take() { return semlock_op(g_sem, -1); }
void devlock_release() { semlock_op(g_sem, 1); }
int devlock_id() { return g_sem; }
