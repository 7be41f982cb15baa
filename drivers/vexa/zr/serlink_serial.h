// serlink_serial: the RS-485 adapter as serlink's SerialLine. The device is
// opened, set up (serial-driver step, 7E1 raw termios) and closed for every
// exchange; the port is never held open between requests.
#pragma once

#include "serlink_core.h"

extern int fd;  // descriptor of the open device during one exchange, else -1

// serial_open(): 0 ready; -1 not opened; -2 opened but not set up (caller closes).
int serial_open();
void serial_close();

// The termios record of a speed code (1 4800, 2 9600, 4 38400, any other 19200).
struct termios;
void serial_termios(int speed_code, struct termios* t);

struct PosixSerialLine : SerialLine {
    int open() override;
    void close() override;
    int write(const uint8_t* bytes, size_t n) override;
    int read_chunk(uint8_t* buf, size_t cap) override;
    struct tm now() override;
};
