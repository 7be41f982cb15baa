/*
 * orvserialshim: makes a pseudo-terminal behave like the USB serial adapter the
 * appliance daemons expect, so their serial code runs unchanged against the
 * simulators (which hold the pty masters). Loaded with LD_PRELOAD.
 *
 * A pty is not a UART in two ways that matter to the daemons:
 *   - the serial-driver ioctls TIOCGSERIAL/TIOCSSERIAL fail with ENOTTY;
 *   - it cannot carry parity or fewer than 8 data bits: the kernel silently turns
 *     7E1 or 8O1 into 8N1, and the C library then fails every later tcsetattr that
 *     asks for parity again with EINVAL.
 * On a pty (a master, or a slave of the /dev/pts instance; any other descriptor
 * passes straight through):
 *   - TIOCGSERIAL answers like a USB serial adapter's driver (PORT_UNKNOWN, port 0,
 *     line = pty number, baud_base 24000000, low-latency flag, close_delay 50,
 *     closing_wait 3000); TIOCSSERIAL is accepted and its record is what later
 *     TIOCGSERIAL calls on the same descriptor report (a reopen starts afresh,
 *     like the driver, which does not keep the port field);
 *   - tcsetattr applies the settings as CS8, no parity, receiver on, and remembers the
 *     asked data bits, parity and receiver bits per pty; tcgetattr reports them back,
 *     so the line reads as set, also after a reopen and in forked children.
 *
 * Environment:
 *   ORV_SHIM_FAIL  comma list of STEP[@N][:ERRNO]: make STEP fail (all its calls, or
 *                  only the Nth, counted from 1 over the process and the children it
 *                  forks) with ERRNO (a name like EIO, or a number; default EINVAL).
 *                  Steps: tiocgserial tiocsserial tcgetattr tcsetattr tcflush
 *   ORV_SHIM_LOG   file to which one line per intercepted call is appended:
 *                  "<step> pid=.. fd=.. dev=/dev/pts/N <what was asked> result=0|-1 [errno=E..]"
 * ASan programs: the shim is not instrumented; run them with
 * ASAN_OPTIONS=verify_asan_link_order=0 (the shim comes before the ASan runtime).
 */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

enum { STEP_TIOCGSERIAL, STEP_TIOCSSERIAL, STEP_TCGETATTR, STEP_TCSETATTR, STEP_TCFLUSH, NSTEPS };
static const char *const step_names[NSTEPS] = {"tiocgserial", "tiocsserial", "tcgetattr",
                                                "tcsetattr", "tcflush"};

/* The bits a pty cannot keep; we apply CS8|CREAD without parity and report these back. */
#define KEPT_BITS (CSIZE | PARENB | PARODD | CMSPAR | CREAD)

#define MAX_RULES 16
#define MAX_PTYS 64
#define MAX_FDS 1024

struct rule {
    int step;
    unsigned nth; /* 0: every call */
    int err;
};

/* Shared with forked children (one mapping, MAP_SHARED): call counters and the
 * per-pty line settings, so a daemon that serves each request in a child sees one
 * consistent line and "the Nth call" means the Nth of the whole daemon. */
struct shared {
    int lock;
    unsigned calls[NSTEPS];
    struct {
        dev_t rdev;
        tcflag_t cflag; /* KEPT_BITS as last asked */
        int used;
    } ptys[MAX_PTYS];
};

/* Per descriptor, like the driver's record behind an open device. */
struct fdserial {
    int valid;
    dev_t rdev;
    struct serial_struct ss;
};

static int (*real_ioctl)(int, unsigned long, ...);
static int (*real_tcgetattr)(int, struct termios *);
static int (*real_tcsetattr)(int, int, const struct termios *);
static int (*real_tcflush)(int, int);
static int (*real_close)(int);

static struct rule rules[MAX_RULES];
static int nrules;
static char logpath[512];
static struct shared local_shared; /* used if the shared mapping cannot be made */
static struct shared *sh = &local_shared;
static struct fdserial fdser[MAX_FDS];
static int ready;
static dev_t pts_dev;
static int have_pts_dev;

static const struct {
    const char *name;
    int value;
} errnames[] = {
    {"EINVAL", EINVAL}, {"EIO", EIO},         {"ENOTTY", ENOTTY},   {"EPERM", EPERM},
    {"EACCES", EACCES}, {"EBUSY", EBUSY},     {"ENODEV", ENODEV},   {"ENXIO", ENXIO},
    {"EAGAIN", EAGAIN}, {"EINTR", EINTR},     {"EBADF", EBADF},     {"EFAULT", EFAULT},
    {"ENOENT", ENOENT}, {"ENOMEM", ENOMEM},   {"ETIMEDOUT", ETIMEDOUT},
    {"ENOSYS", ENOSYS}, {"EOPNOTSUPP", EOPNOTSUPP}, {"ENOSPC", ENOSPC},
};

static const char *errname(int e)
{
    for (size_t i = 0; i < sizeof errnames / sizeof errnames[0]; i++)
        if (errnames[i].value == e)
            return errnames[i].name;
    return "E?";
}

static void warn(const char *what, const char *item)
{
    char buf[256];
    int n = snprintf(buf, sizeof buf, "orvserialshim: %s '%s' in ORV_SHIM_FAIL\n", what, item);
    if (n > 0)
        (void)!write(2, buf, (size_t)n < sizeof buf ? (size_t)n : sizeof buf - 1);
}

/* One item: STEP[@N][:ERRNO] */
static void parse_rule(char *item)
{
    if (!*item)
        return;
    if (nrules == MAX_RULES) {
        warn("too many rules, ignored", item);
        return;
    }
    struct rule r = {-1, 0, EINVAL};
    char *colon = strchr(item, ':');
    if (colon) {
        *colon++ = '\0';
        int found = 0;
        for (size_t i = 0; i < sizeof errnames / sizeof errnames[0]; i++)
            if (strcmp(colon, errnames[i].name) == 0) {
                r.err = errnames[i].value;
                found = 1;
            }
        if (!found) {
            char *end;
            long v = strtol(colon, &end, 10);
            if (*colon && !*end && v > 0 && v < 4096) {
                r.err = (int)v;
            } else {
                warn("unknown errno", colon);
                return;
            }
        }
    }
    char *at = strchr(item, '@');
    if (at) {
        *at++ = '\0';
        char *end;
        long v = strtol(at, &end, 10);
        if (!*at || *end || v < 1) {
            warn("bad call number", at);
            return;
        }
        r.nth = (unsigned)v;
    }
    for (int s = 0; s < NSTEPS; s++)
        if (strcmp(item, step_names[s]) == 0)
            r.step = s;
    if (r.step < 0) {
        warn("unknown step", item);
        return;
    }
    rules[nrules++] = r;
}

static void init(void)
{
    /* Set first: dlsym may come back into us before we are done. */
    if (ready)
        return;
    ready = 1;
    real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    real_tcgetattr = (int (*)(int, struct termios *))dlsym(RTLD_NEXT, "tcgetattr");
    real_tcsetattr = (int (*)(int, int, const struct termios *))dlsym(RTLD_NEXT, "tcsetattr");
    real_tcflush = (int (*)(int, int))dlsym(RTLD_NEXT, "tcflush");
    real_close = (int (*)(int))dlsym(RTLD_NEXT, "close");

    void *m = mmap(NULL, sizeof(struct shared), PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (m != MAP_FAILED)
        sh = (struct shared *)m;

    struct stat pts;
    if (stat("/dev/pts", &pts) == 0) {
        pts_dev = pts.st_dev;
        have_pts_dev = 1;
    }

    const char *lp = getenv("ORV_SHIM_LOG");
    if (lp && strlen(lp) < sizeof logpath)
        strcpy(logpath, lp);

    const char *fail = getenv("ORV_SHIM_FAIL");
    if (fail) {
        char buf[1024];
        snprintf(buf, sizeof buf, "%s", fail);
        char *save = NULL;
        for (char *item = strtok_r(buf, ",", &save); item; item = strtok_r(NULL, ",", &save))
            parse_rule(item);
    }
}

__attribute__((constructor)) static void shim_load(void) { init(); }

static void lock(void)
{
    while (__atomic_test_and_set(&sh->lock, __ATOMIC_ACQUIRE))
        ;
}

static void unlock(void) { __atomic_clear(&sh->lock, __ATOMIC_RELEASE); }

/* Counts the call; returns the errno to fail it with, or 0. */
static int should_fail(int step)
{
    unsigned n = __atomic_add_fetch(&sh->calls[step], 1, __ATOMIC_SEQ_CST);
    for (int i = 0; i < nrules; i++)
        if (rules[i].step == step && (rules[i].nth == 0 || rules[i].nth == n))
            return rules[i].err;
    return 0;
}

/* Is fd a pty? Gives the slave's device number, the key of its line settings. */
static int pty_key(int fd, dev_t *key)
{
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    unsigned maj = major(st.st_rdev);
    /* Only slaves of our devpts instance: inside the rig that keeps a developer's
     * terminal (a pty of the host's instance) out of the failure rules. */
    if (maj >= 136 && maj <= 143 && (!have_pts_dev || st.st_dev == pts_dev)) {
        *key = st.st_rdev;
        return 1;
    }
    if (maj == 5 && minor(st.st_rdev) == 2) { /* a master opened through ptmx */
        unsigned n;
        if (real_ioctl(fd, TIOCGPTN, &n) == 0) {
            *key = makedev(136 + n / 256, n % 256);
            return 1;
        }
    }
    return 0;
}

/* ---------------------------------------------------------------- log */

struct line {
    char buf[768];
    size_t len;
};

static void put(struct line *l, const char *fmt, ...)
{
    if (l->len >= sizeof l->buf - 1)
        return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(l->buf + l->len, sizeof l->buf - l->len, fmt, ap);
    va_end(ap);
    if (n > 0)
        l->len += (size_t)n < sizeof l->buf - l->len ? (size_t)n : sizeof l->buf - 1 - l->len;
}

static void begin(struct line *l, int step, int fd)
{
    l->len = 0;
    char path[64];
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    path[n > 0 ? n : 0] = '\0';
    put(l, "%s pid=%d fd=%d dev=%s", step_names[step], (int)getpid(), fd, n > 0 ? path : "?");
}

/* Appends the result and writes the line in one write(), so lines of several
 * processes do not mix. Keeps errno as it was. */
static void finish(struct line *l, int result, int err)
{
    int saved = errno;
    if (result < 0)
        put(l, " result=-1 errno=%s", errname(err));
    else
        put(l, " result=0");
    put(l, "\n");
    if (logpath[0]) {
        int fd = open(logpath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            (void)!write(fd, l->buf, l->len);
            real_close(fd);
        }
    }
    errno = saved;
}

static unsigned baud(speed_t s)
{
    static const struct {
        speed_t code;
        unsigned rate;
    } t[] = {{B0, 0},           {B50, 50},         {B75, 75},         {B110, 110},
             {B134, 134},       {B150, 150},       {B200, 200},       {B300, 300},
             {B600, 600},       {B1200, 1200},     {B1800, 1800},     {B2400, 2400},
             {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
             {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
             {B500000, 500000}, {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}};
    for (size_t i = 0; i < sizeof t / sizeof t[0]; i++)
        if (t[i].code == s)
            return t[i].rate;
    return (unsigned)-1;
}

static void put_termios(struct line *l, const struct termios *t)
{
    unsigned cs = (t->c_cflag & CSIZE) == CS5 ? 5 : (t->c_cflag & CSIZE) == CS6 ? 6
                : (t->c_cflag & CSIZE) == CS7 ? 7 : 8;
    put(l, " speed=%u cs=%u parenb=%d parodd=%d cmspar=%d cstopb=%d crtscts=%d cread=%d clocal=%d"
           " vmin=%u vtime=%u iflag=%#o oflag=%#o lflag=%#o",
        baud(cfgetospeed(t)), cs, !!(t->c_cflag & PARENB), !!(t->c_cflag & PARODD),
        !!(t->c_cflag & CMSPAR), !!(t->c_cflag & CSTOPB), !!(t->c_cflag & CRTSCTS),
        !!(t->c_cflag & CREAD), !!(t->c_cflag & CLOCAL), (unsigned)t->c_cc[VMIN],
        (unsigned)t->c_cc[VTIME], (unsigned)t->c_iflag, (unsigned)t->c_oflag,
        (unsigned)t->c_lflag);
}

static void put_serial(struct line *l, const struct serial_struct *ss)
{
    put(l, " type=%d line=%d port=%u irq=%d flags=0x%x xmit_fifo_size=%d custom_divisor=%d"
           " baud_base=%d close_delay=%u closing_wait=%u",
        ss->type, ss->line, ss->port, ss->irq, ss->flags, ss->xmit_fifo_size,
        ss->custom_divisor, ss->baud_base, (unsigned)ss->close_delay,
        (unsigned)ss->closing_wait);
}

/* ---------------------------------------------------------------- state */

static struct fdserial *serial_of(int fd, dev_t key)
{
    if (fd < 0 || fd >= MAX_FDS)
        return NULL;
    struct fdserial *f = &fdser[fd];
    if (!f->valid || f->rdev != key) {
        memset(f, 0, sizeof *f);
        f->valid = 1;
        f->rdev = key;
        /* What a USB serial adapter's driver reports for a fresh open. */
        f->ss.type = PORT_UNKNOWN;
        f->ss.line = (int)(((major(key) - 136) << 8) | minor(key));
        f->ss.port = 0;
        f->ss.flags = ASYNC_LOW_LATENCY;
        f->ss.baud_base = 24000000;
        f->ss.close_delay = 50;
        f->ss.closing_wait = 3000;
    }
    return f;
}

static int remembered(dev_t key, tcflag_t *bits)
{
    int found = 0;
    lock();
    for (int i = 0; i < MAX_PTYS; i++)
        if (sh->ptys[i].used && sh->ptys[i].rdev == key) {
            *bits = sh->ptys[i].cflag;
            found = 1;
            break;
        }
    unlock();
    return found;
}

static void remember(dev_t key, tcflag_t bits)
{
    lock();
    int slot = -1;
    for (int i = 0; i < MAX_PTYS; i++) {
        if (sh->ptys[i].used && sh->ptys[i].rdev == key) {
            slot = i;
            break;
        }
        if (!sh->ptys[i].used && slot < 0)
            slot = i;
    }
    if (slot >= 0) {
        sh->ptys[slot].used = 1;
        sh->ptys[slot].rdev = key;
        sh->ptys[slot].cflag = bits;
    }
    unlock();
}

/* ---------------------------------------------------------------- entry points */

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    init();

    if (!real_ioctl)
        return (int)syscall(SYS_ioctl, fd, request, arg);
    dev_t key;
    if ((request != TIOCGSERIAL && request != TIOCSSERIAL) || !pty_key(fd, &key))
        return real_ioctl(fd, request, arg);

    int step = request == TIOCGSERIAL ? STEP_TIOCGSERIAL : STEP_TIOCSSERIAL;
    struct line l;
    begin(&l, step, fd);
    struct serial_struct *ss = (struct serial_struct *)arg;
    if (step == STEP_TIOCSSERIAL && ss)
        put_serial(&l, ss);
    int err = should_fail(step);
    struct fdserial *f = serial_of(fd, key);
    if (!err && !ss)
        err = EFAULT;
    if (!err && !f)
        err = EBADF;
    if (err) {
        finish(&l, -1, err);
        errno = err;
        return -1;
    }
    if (step == STEP_TIOCGSERIAL) {
        *ss = f->ss;
        put_serial(&l, ss);
    } else {
        f->ss = *ss;
    }
    finish(&l, 0, 0);
    return 0;
}

int tcgetattr(int fd, struct termios *t)
{
    init();
    dev_t key;
    if (!pty_key(fd, &key))
        return real_tcgetattr(fd, t);
    struct line l;
    begin(&l, STEP_TCGETATTR, fd);
    int err = should_fail(STEP_TCGETATTR);
    if (err) {
        finish(&l, -1, err);
        errno = err;
        return -1;
    }
    int r = real_tcgetattr(fd, t);
    if (r != 0) {
        err = errno;
        finish(&l, -1, err);
        errno = err;
        return r;
    }
    tcflag_t bits;
    if (remembered(key, &bits))
        t->c_cflag = (t->c_cflag & ~(tcflag_t)KEPT_BITS) | bits;
    put_termios(&l, t);
    finish(&l, 0, 0);
    return 0;
}

int tcsetattr(int fd, int when, const struct termios *t)
{
    init();
    dev_t key;
    if (!t || !pty_key(fd, &key))
        return real_tcsetattr(fd, when, t);
    struct line l;
    begin(&l, STEP_TCSETATTR, fd);
    put(&l, " when=%s", when == TCSANOW ? "TCSANOW" : when == TCSADRAIN ? "TCSADRAIN"
                      : when == TCSAFLUSH ? "TCSAFLUSH" : "?");
    put_termios(&l, t);
    int err = should_fail(STEP_TCSETATTR);
    if (err) {
        finish(&l, -1, err);
        errno = err;
        return -1;
    }
    struct termios applied = *t;
    applied.c_cflag = (applied.c_cflag & ~(tcflag_t)KEPT_BITS) | CS8 | CREAD;
    int r = real_tcsetattr(fd, when, &applied);
    if (r != 0) {
        err = errno;
        finish(&l, -1, err);
        errno = err;
        return r;
    }
    remember(key, t->c_cflag & KEPT_BITS);
    finish(&l, 0, 0);
    return 0;
}

int tcflush(int fd, int queue)
{
    init();
    dev_t key;
    if (!pty_key(fd, &key))
        return real_tcflush(fd, queue);
    struct line l;
    begin(&l, STEP_TCFLUSH, fd);
    put(&l, " queue=%s", queue == TCIFLUSH ? "TCIFLUSH" : queue == TCOFLUSH ? "TCOFLUSH"
                       : queue == TCIOFLUSH ? "TCIOFLUSH" : "?");
    int err = should_fail(STEP_TCFLUSH);
    int r = err ? -1 : real_tcflush(fd, queue);
    if (r != 0 && !err)
        err = errno;
    finish(&l, r, err);
    if (r != 0)
        errno = err;
    return r;
}

/* A closed descriptor forgets its serial-driver record, as the device would on the
 * next open; the number may come back for another device. */
int close(int fd)
{
    init();
    if (fd >= 0 && fd < MAX_FDS)
        fdser[fd].valid = 0;
    if (!real_close)
        return (int)syscall(SYS_close, fd);
    return real_close(fd);
}
