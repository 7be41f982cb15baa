// serlink_serial: see serlink_serial.h.
#include "serlink_serial.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "serlink_ini.h"
#include "stopwait.h"

int fd = -1;

static void fail(const char* word, int e) {
    log_writer(LOG_ALERT, word, e);
    errno = e;
    perror(word);
}

void serial_termios(int speed_code, struct termios* t) {
    speed_t speed;
    switch (speed_code) {
    case 1: speed = B4800; break;
    case 2: speed = B9600; break;
    case 4: speed = B38400; break;
    default: speed = B19200; break;
    }
    memset(t, 0, sizeof *t);
    t->c_iflag = IGNPAR;
    t->c_oflag = ONLRET;  // no OPOST: frames leave unchanged
    t->c_cflag = speed | CS7 | PARENB | CREAD | CLOCAL;
    t->c_lflag = 0;
    t->c_cc[VMIN] = 1;
    t->c_cc[VTIME] = 0;
    cfsetispeed(t, speed);
    cfsetospeed(t, speed);
}

// The adapter's driver is told port 1 (what the RS-485 adapters on the
// appliance need); a driver that refuses it counts as a set-up failure.
static int init_uport() {
    struct serial_struct ss;
    memset(&ss, 0, sizeof ss);
    if (ioctl(fd, TIOCGSERIAL, &ss) < 0) {
        fail("Cannot get serial info", errno);
        return -1;
    }
    printf("%d\n", (int)ss.port);
    ss.port = 1;
    printf("%d\n", (int)ss.port);
    if (ioctl(fd, TIOCSSERIAL, &ss) < 0) {
        fail("Cannot set serial info", errno);
        return -1;
    }
    return 0;
}

int serial_open() {
    fd = ::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        fail("open", errno);
        return -1;
    }
    if (init_uport() < 0) {
        ::close(fd);
        fd = -1;
        return -2;
    }
    struct termios t;
    serial_termios(baud, &t);
    if (tcflush(fd, TCIFLUSH) < 0) {
        fail("tcflush", errno);
        return -2;
    }
    if (tcsetattr(fd, TCSANOW, &t) < 0) {
        fail("tcsetattr", errno);
        return -2;
    }
    if (fcntl(fd, F_SETFL, O_NONBLOCK) < 0) {
        fail("fcntl", errno);
        return -2;
    }
    return 0;
}

void serial_close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

int PosixSerialLine::open() { return serial_open(); }
void PosixSerialLine::close() { serial_close(); }

int PosixSerialLine::write(const uint8_t* bytes, size_t n) {
    // One write; a short write is not retried (the node sees a broken frame and
    // stays silent, which the receiver reports as a time-out).
    return ::write(fd, bytes, n) < 0 ? -1 : 0;
}

int PosixSerialLine::read_chunk(uint8_t* buf, size_t cap) {
    // The receive wait in whole milliseconds, never shorter than configured.
    long wait = timeout_usec > 0 ? (timeout_usec + 999) / 1000 : 0;
    for (;;) {
        // A SIGTERM ends the program inside the wait (the stop check), also on a
        // line that never stops sending: a chunk does not hold it off.
        int s = sw_poll(fd, POLLIN, wait > INT_MAX ? INT_MAX : (int)wait);
        if (s < 0) {
            perror("poll");
            continue;
        }
        if (s == 0) return 0;
        ssize_t n = ::read(fd, buf, cap);
        if (n > 0) return (int)n;
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        // End of file means the line is gone (adapter unplugged): a read failure.
        fail("read", n < 0 ? errno : EIO);
        return -1;
    }
}

struct tm PosixSerialLine::now() {
    time_t t = time(nullptr);
    struct tm tm;
    localtime_r(&t, &tm);
    return tm;
}
