// pmlink: the real MEWTOCOL-COM line of gatex1d: the device lock, opening and
// setting up the serial device (serial-driver settings, 8O1 canonical line
// settings), and the read bounded by a deadline (timedio).
#pragma once
#include <termios.h>

#include "pmmeter.h"

// The line code for a configured speed: 4800, 9600, 19200, 38400; anything else 9600.
speed_t pm_speed(int baud);
// Its name as the settings line logs it: "B9600".
const char* pm_speed_name(int baud);
// The speed as configured: "4800", "9600", "19200" or "38400", anything else 9600.
int pm_parse_baud(const char* text);

// The line settings for a speed, applied to what the device had: only the input,
// output, control and local modes change; the control characters stay.
void pm_line_settings(struct termios* t, speed_t speed);

// Takes the device lock and opens and sets up pm_cfg.device. The descriptor with
// the lock held, or -1 / -2 / -3 with the lock released (see pmlink.cpp).
int pm_openandinit();
void pm_close(int fd);
// One read of at most size-1 bytes, given up after timeoutMs; a string
// end follows the bytes read. Bytes read, or -1.
int pm_read(int fd, char* buf, int size, int timeoutMs);

// PmLine over the functions above.
class PmSerialLine : public PmLine {
public:
    int open() override { return pm_openandinit(); }
    void close(int fd) override { pm_close(fd); }
    bool send(int fd, const char* frame, size_t len) override;
    int read(int fd, char* buf, int size, int timeoutMs) override { return pm_read(fd, buf, size, timeoutMs); }
    bool pause(unsigned seconds) override;
    bool stopping() override;
};
