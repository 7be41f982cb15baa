// serlink_core: what serlink does with one request, apart from the descriptors.
// The request being served, the answer being built, the scan cache and the
// logging flag are process globals, as in the rest of the appliance code. The
// serial device and the answer queue are reached through two small seams (a
// SerialLine and an answer sender) so that the command handlers run unchanged
// against the real pty/tty and against a scripted line in the unit tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "log.h"
#include "zrmsg.h"

// One serial device as an exchange uses it: open and set up, write one frame,
// read chunks of the answer, close.
struct SerialLine {
    virtual ~SerialLine() = default;
    // 0 ready; -1 could not be opened; -2 opened but set-up failed (failures logged).
    virtual int open() = 0;
    virtual void close() = 0;
    // 0 when all bytes were handed to the device; -1 with errno on failure.
    virtual int write(const uint8_t* bytes, size_t n) = 0;
    // Waits up to one receive wait for bytes: their count (> 0), 0 when the line
    // stayed silent for the whole wait, -1 on a read error (logged as "read").
    virtual int read_chunk(uint8_t* buf, size_t cap) = 0;
    // The local time for dates and the time broadcast.
    virtual struct tm now() = 0;
};

extern MsgRequest recvbuf;    // the request being served
extern MsgAnswer sendbuf;     // the answer being built
extern MsgAnswer cmd12cache;  // scan cache: channel table, scan frames, check table
extern int bMsrmntErr;        // a get_value error was logged; quiet until one succeeds

extern SerialLine* serial_line;                 // the device of the exchanges
extern int (*answer_sender)(const MsgAnswer&);  // 0, or -1 with errno

// Writes one line to the system log: "%s (%s)" with an error number, else "%s".
// While a get_value is served, errors are logged once until one succeeds.
void log_writer(int level, const char* message, int errnum);

// One command frame on the line: 0 written; -1 write failed; -2 no frame for command.
int put_string(int command, char node, char param);
// Receives one answer frame into dest (1024 bytes): its length, or -1 read error
// (nothing copied), -2 check error, -3 time-out (bytes stored so far copied).
int data_rcv(uint8_t* dest);

// One line exchange for command with its outcome in answer: 0 when it took
// place, -1 when the device could not be opened, set up or written.
int measurement(int command, char node, char param, MsgAnswer& answer);

// Handlers of commands 11, 12, 15, 16, 17; each sends its own answer.
void scanch();
void scanleaves();
void chkTyp20ch();
void chkTyp20();
void clrChkTyp20ch();

enum class ServeNext { Loop, Restart, Stop };
// Serves recvbuf: prepares sendbuf, executes, sends the answer (or not, where a
// get_value or set_time could not reach the line). Tells the shell what follows.
ServeNext serve_request();

// Program-start state of the globals (tests).
void core_reset();
