// pmlink: see pmlink.h.
#include "pmlink.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "daemonframe.h"
#include "devlock.h"
#include "log.h"
#include "timedio.h"

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
        // A stop while waiting for the lock is no device failure.
        if (errno != ECANCELED) drv_log(LOG_WARNING, "failed to open device file: %s", dev);
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

int pm_read(int fd, char* buf, int size, int timeoutMs) {
    if (size <= 0) return -1;
    // In canonical mode the line is ready once a whole answer line has arrived.
    ssize_t n = tio_read(fd, buf, (size_t)size - 1, timeoutMs);
    buf[n > 0 ? n : 0] = '\0';
    return n < 0 ? -1 : (int)n;
}

bool PmSerialLine::send(int fd, const char* frame, size_t len) {
    ssize_t w;
    do w = ::write(fd, frame, len);
    while (w < 0 && errno == EINTR);
    return w == (ssize_t)len;
}

bool PmSerialLine::pause(unsigned seconds) { return frame_pause(seconds); }
bool PmSerialLine::stopping() { return frame_stopping(); }
