// daemonframe: see daemonframe.h.
#include "daemonframe.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "devlock.h"
#include "fdconn.h"
#include "ini.h"
#include "listener.h"
#include "log.h"
#include "sigwake.h"
#include "stopwait.h"

namespace {
const FrameHooks* g_hooks = nullptr;
int g_shmid = -1;
void* g_shm = nullptr;
int g_listen = -1;
bool g_isMain = true;      // false in connection processes
int g_starts = 0;

volatile sig_atomic_t g_restart = 0;
volatile sig_atomic_t g_terminate = 0;

// The one page all processes of the daemon share: the current main process id.
struct FramePage {
    volatile pid_t mainPid;
};
FramePage* g_page = nullptr;

void on_hup(int) {
    g_restart = 1;
    sig_wake();
}
void on_term(int) {
    g_terminate = 1;
    sig_wake();
}
void on_chld(int) {
    int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}
// A connection process told to end: let go of the segment and leave.
void on_conn_term(int) {
    if (g_shm) shmdt(g_shm);
    _exit(0);
}

bool pending() { return g_restart || g_terminate; }
// The main process's stop: every wait of it (the lock, the line, the pauses, the
// listener) gives up, and the frame ends or restarts.
bool main_stopping() { return g_isMain && pending(); }

[[noreturn]] void terminate(int status) {
    if (g_page && g_isMain && g_page->mainPid == getpid()) g_page->mainPid = 0;
    if (g_shm) {
        shmdt(g_shm);
        g_shm = nullptr;
    }
    if (g_shmid >= 0) shmctl(g_shmid, IPC_RMID, nullptr);
    drv_log(LOG_INFO, "exited.");
    exit(status);
}

void shm_failed() {
    fprintf(stderr, "shmget: %s\n", strerror(errno));
    drv_log(LOG_ERR, "shmget() failed.");
    exit(1);
}

// Creates and attaches the segment exclusively. One left behind by a daemon that
// died without its termination path is taken back only when no process is
// attached to it any more; a segment in use means another daemon runs.
void shm_create() {
    size_t size = g_hooks->shmSize();
    int id = shmget(g_hooks->shmKey, size, IPC_CREAT | IPC_EXCL | 0600);
    if (id < 0 && errno == EEXIST) {
        int old = shmget(g_hooks->shmKey, 0, 0);
        struct shmid_ds ds;
        if (old >= 0 && shmctl(old, IPC_STAT, &ds) == 0 && ds.shm_nattch == 0 &&
            shmctl(old, IPC_RMID, nullptr) == 0) {
            drv_log(LOG_WARNING, "removed the unused shared segment of key %d left behind.", g_hooks->shmKey);
            id = shmget(g_hooks->shmKey, size, IPC_CREAT | IPC_EXCL | 0600);
        } else {
            errno = EEXIST;
        }
    }
    if (id < 0) shm_failed();
    void* p = shmat(id, nullptr, 0);
    if (p == (void*)-1) {
        int e = errno;
        shmctl(id, IPC_RMID, nullptr);
        errno = e;
        shm_failed();
    }
    g_shmid = id;
    g_shm = p;
    if (g_hooks->shmCreated) g_hooks->shmCreated(p);
}

void shm_remove() {
    if (g_shm) shmdt(g_shm);
    if (g_shmid >= 0) shmctl(g_shmid, IPC_RMID, nullptr);
    g_shm = nullptr;
    g_shmid = -1;
}

// daemon(1, 1): fork, the parent leaves, the child gets a session of its own.
//
// The parent leaves only once the child has its session. Until setsid the child is
// still in the starter's process group, and whoever ends that group as soon as the
// starter has returned (a start script cleaning up, a test harness) would take the
// new daemon with it, silently: on a busy machine the child may not have run at all
// by then. The child writes one byte after setsid; if it never gets that far its
// end closes the pipe, and the parent leaves all the same.
bool become_daemon() {
    int sync[2];
    bool piped = pipe(sync) == 0;
    pid_t pid = fork();
    if (pid < 0) {
        if (piped) {
            close(sync[0]);
            close(sync[1]);
        }
        return false;
    }
    if (pid > 0) {
        if (piped) {
            close(sync[1]);
            char c;
            while (read(sync[0], &c, 1) < 0 && errno == EINTR) {
            }
        }
        _exit(0);
    }
    if (piped) close(sync[0]);
    int r = setsid();
    if (piped) {
        ssize_t w = write(sync[1], "s", 1);
        (void)w;
        close(sync[1]);
    }
    if (r < 0) return false;
    g_page->mainPid = getpid();
    return true;
}

// Standard descriptors go to /dev/null rather than staying closed, so that the
// sockets opened later never take numbers 0..2 where a stray diagnostic would
// land in a client's connection.
void close_std() {
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) {
        close(0);
        close(1);
        close(2);
        return;
    }
    for (int i = 0; i < 3; i++)
        if (fd != i) dup2(fd, i);
    if (fd > 2) close(fd);
}

void open_listener() {
    bool reuseOk;
    g_listen = listener_socket(&reuseOk);
    if (g_listen < 0) {
        drv_log(LOG_ERR, "socket: %s", strerror(errno));
        terminate(1);
    }
    // The option matters only while connections of the daemon before a restart
    // are still open: without it the bind fails, and is retried, until they end.
    (void)reuseOk;
    auto tryBind = [](void*) { return listener_bind(g_listen, g_hooks->port()); };
    int bound = frame_bind_retry(tryBind, nullptr, frame_pause);
    if (g_terminate) terminate(0);
    if (bound == 0) terminate(1);
    if (bound < 0) return;  // a restart: it opens a listener of its own
    struct sockaddr_in addr;
    socklen_t len = sizeof addr;
    if (getsockname(g_listen, (struct sockaddr*)&addr, &len) < 0) {
        drv_log(LOG_ERR, "getsockname: %s", strerror(errno));
        terminate(1);
    }
    listen(g_listen, kFrameBacklog);
    fcntl(g_listen, F_SETFL, fcntl(g_listen, F_GETFL) | O_NONBLOCK);
}

[[noreturn]] void serve_connection(int fd) {
    g_isMain = false;
    signal(SIGHUP, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);
    sig_handle(SIGTERM, on_conn_term, true);
    close(g_listen);
    sig_wake_close();
    // Signals end a connection process in their handlers (or by default): its
    // waits have no stop of their own.
    sw_set_stop(nullptr);
    drv::FdConn conn(fd);
    drv::serve(conn, *g_hooks->dialect);
    if (g_shm) shmdt(g_shm);
    _exit(0);
}

// Accepts until a restart or termination is asked for.
void accept_loop() {
    while (!pending()) {
        if (sw_poll(g_listen, POLLIN, -1) != 1) continue;
        int fd = accept(g_listen, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) continue;
            drv_log(LOG_ERR, "accept: %s", strerror(errno));
            frame_pause(1);  // out of descriptors or memory: give the system a moment
            continue;
        }
        pid_t pid = fork();
        if (pid == 0) serve_connection(fd);
        if (pid < 0) {
            // The client is turned away; the daemon keeps serving the others.
            drv_log(LOG_ERR, "fork: %s", strerror(errno));
            close(fd);
            frame_pause(1);
            continue;
        }
        close(fd);
    }
}

void read_options(int argc, char** argv, const char** config) {
    opterr = 0;
    int c;
    while ((c = getopt(argc, argv, "v")) != -1) {
        if (c == 'v') continue;
        drv_log(LOG_WARNING, "unknown option -%c ignored", optopt);
    }
    *config = optind < argc ? argv[optind] : nullptr;
}
}  // namespace

void* frame_shm() { return g_shm; }

static void signal_main(int sig) {
    if (!g_page) return;
    pid_t pid = g_page->mainPid;
    if (pid > 0) kill(pid, sig);
}
void frame_request_kill() { signal_main(SIGTERM); }
void frame_request_hup() { signal_main(SIGHUP); }

bool frame_pause(unsigned seconds) { return sw_sleep((long long)seconds * 1000); }

bool frame_stopping() { return main_stopping(); }

int frame_bind_retry(int (*attempt)(void* ctx), void* ctx, bool (*pause)(unsigned seconds)) {
    for (int n = 1;; n++) {
        if (attempt(ctx) == 0) return 1;
        int e = errno;
        drv_log(LOG_WARNING, "bind: %s, retry", strerror(e));
        if (!pause(kFrameBindWait)) return -1;
        if (n >= kFrameBindAttempts) {
            drv_log(LOG_ERR, "bind: %s, %d times.", strerror(e), kFrameBindAttempts);
            return 0;
        }
    }
}

void frame_run(const FrameHooks& hooks, int argc, char** argv) {
    g_hooks = &hooks;
    drv_openlog(hooks.program);
    ini_set_sections(hooks.iniSections);
    void* page = mmap(nullptr, sizeof(FramePage), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    g_page = page == MAP_FAILED ? nullptr : (FramePage*)page;
    if (g_page) g_page->mainPid = 0;
    sig_wake_open();
    sw_set_stop(main_stopping);
    // A client that goes away mid-answer must not kill its connection process.
    signal(SIGPIPE, SIG_IGN);

    const char* config = nullptr;
    if (!hooks.shmPerStart) {
        shm_create();
        if (devlock_create() < 0) terminate(1);
        read_options(argc, argv, &config);
    } else {
        read_options(argc, argv, &config);
    }
    if (!config) {
        drv_log(LOG_ERR, "Configuration file unspecified");
        terminate(1);
    }

    for (;;) {
        // Restart point.
        g_starts++;
        g_restart = 0;
        if (ini_load(config) < 0) terminate(1);
        hooks.configure();
        hooks.logSettings();
        if (hooks.shmPerStart) {
            shm_create();
            if (devlock_id() < 0 && devlock_create() < 0) terminate(1);
        }
        if (hooks.prepare) hooks.prepare();
        if (!g_page || !become_daemon()) {
            drv_log(LOG_ERR, "failed to become a daemon");
            terminate(1);
        }
        sig_handle(SIGCHLD, on_chld, true);
        sig_handle(SIGHUP, on_hup, true);
        sig_handle(SIGTERM, on_term, true);
        close_std();
        if (g_terminate) terminate(0);

        if (hooks.beforeListen && !g_restart) hooks.beforeListen(g_starts == 1);
        g_page->mainPid = getpid();
        if (g_terminate) terminate(0);
        if (!g_restart) open_listener();
        if (g_terminate) terminate(0);
        if (!g_restart) accept_loop();
        if (g_terminate) terminate(0);

        // Restart: the configuration is read again (keys it no longer has keep their
        // values), the listener reopened.
        ini_clear();
        if (g_listen >= 0) close(g_listen);
        g_listen = -1;
        if (hooks.shmPerStart) shm_remove();
    }
}
