// pmlink: see pmlink.h.
#include "pmlink.h"

#include <poll.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include "daemonframe.h"
#include "devlock.h"
#include "log.h"

speed_t pm_speed(int baud) {
    switch (baud) {
    case 4800: return B4800;
    case 19200: return B19200;
    case 38400: return B38400;
    default: return B9600;
    }
}

const char* pm_speed_name(int baud) {
    switch (baud) {
    case 4800: return "B4800";
    case 19200: return "B19200";
    case 38400: return "B38400";
    default: return "B9600";
    }
}

int pm_parse_baud(const char* text) {
    static const char* known[] = {"4800", "9600", "19200", "38400"};
    for (const char* k : known)
        if (strcmp(text, k) == 0) return atoi(k);
    return 9600;
}

void pm_line_settings(struct termios* t, speed_t speed) {
    t->c_iflag = IGNBRK | IGNPAR | ICRNL;
    t->c_oflag = 0;
    t->c_cflag = speed | CS8 | CREAD | PARENB | PARODD | CLOCAL;
    t->c_lflag = ICANON;
    cfsetispeed(t, speed);
    cfsetospeed(t, speed);
}

int pm_openandinit() {
    const char* dev = pm_cfg.device;
    if (devlock_take() < 0) {
        drv_log(LOG_WARNING, "failed to open device file: %s", dev);
        return -1;
    }
    int fd = ::open(dev, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        devlock_release();
        drv_log(LOG_WARNING, "failed to open device file: %s", dev);
        return -1;
    }
    struct serial_struct ser;
    memset(&ser, 0, sizeof ser);
    if (ioctl(fd, TIOCGSERIAL, &ser) < 0) {
        int e = errno;
        drv_log(LOG_WARNING, "failed to get serial info: %s", dev);
        if (e != EINVAL) {
            drv_log(LOG_WARNING, "ioctl(TIOCGSERIAL) failed for errno: %d, (!= EINVAL)", e);
            ::close(fd);
            devlock_release();
            return -1;
        }
        drv_log(LOG_INFO, "ioctl(TIOCGSERIAL) returns EINVAL. So this device seems not to be setup with TIOCSSERIAL.");
    } else {
        ser.port = 1;
        if (ioctl(fd, TIOCSSERIAL, &ser) < 0) {
            ::close(fd);
            devlock_release();
            drv_log(LOG_WARNING, "failed to set serial info: %s", dev);
            return -1;
        }
    }
    struct termios t;
    if (tcgetattr(fd, &t) < 0) {
        ::close(fd);
        devlock_release();
        drv_log(LOG_WARNING, "failed to get attributes of device file: %s", dev);
        return -2;
    }
    pm_line_settings(&t, pm_speed(pm_cfg.baud));
    tcflush(fd, TCIOFLUSH);
    if (tcsetattr(fd, TCSANOW, &t) < 0) {
        ::close(fd);
        devlock_release();
        drv_log(LOG_WARNING, "failed to set attributes of device file: %s", dev);
        return -3;
    }
    return fd;
}

void pm_close(int fd) {
    ::close(fd);
    devlock_release();
}

static void on_alarm(int) {}

int pm_read(int fd, char* buf, int size, int timeoutMs) {
    if (size <= 0) return -1;
    struct sigaction sa, old;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // the timer must interrupt the read, not restart it
    sigaction(SIGALRM, &sa, &old);
    struct itimerval tv;
    memset(&tv, 0, sizeof tv);
    tv.it_value.tv_sec = timeoutMs / 1000;
    tv.it_value.tv_usec = (timeoutMs % 1000) * 1000;
    setitimer(ITIMER_REAL, &tv, nullptr);
    // The timer alone leaves a window: when it fires before read() is entered (the
    // process was not scheduled in time), read() waits for ever on a silent meter.
    // Waiting in poll() for the same time first closes it; the timer stays armed
    // as the bound of the read itself.
    ssize_t n = -1;
    struct pollfd pfd = {fd, POLLIN, 0};
    int ready;
    do ready = poll(&pfd, 1, timeoutMs > 0 ? timeoutMs : 0);
    while (ready < 0 && errno == EINTR && timeoutMs <= 0);
    if (ready > 0) n = ::read(fd, buf, (size_t)size - 1);
    buf[n > 0 ? n : 0] = '\0';
    memset(&tv, 0, sizeof tv);
    setitimer(ITIMER_REAL, &tv, nullptr);
    signal(SIGALRM, SIG_DFL);
    return n < 0 ? -1 : (int)n;
}

bool PmSerialLine::send(int fd, const char* frame, size_t len) {
    ssize_t w;
    do w = ::write(fd, frame, len);
    while (w < 0 && errno == EINTR);
    return w == (ssize_t)len;
}

bool PmSerialLine::pause(unsigned seconds) { return frame_pause(seconds); }
