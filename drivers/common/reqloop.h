// reqloop: the request loop of the driver request protocol, shared by gatex1d and
// gatex2d. One connection is served line by line: meta lines ("!..."), requests
// parsed into pairs, the command chosen by prefix from the daemon's own table, and
// the answer written and flushed before the next line is read.
//
// What differs between the daemons (command table, version text, raw pass-through,
// how kill and hup reach the main process) comes in through a Dialect.
#pragma once
#include <cstdarg>
#include <cstddef>

#include "log.h"

namespace drv {

// The connection as the loop sees it. getLine behaves like fgets: it stores at most
// cap-1 bytes, through the first line feed, adds a string end and returns the number
// of bytes stored (0 at end of input).
class Conn {
public:
    virtual ~Conn() = default;
    virtual int getLine(char* buf, int cap) = 0;
    virtual void write(const char* data, size_t len) = 0;
    virtual void flush() = 0;
    // True once the client is known to be gone (a write failed): the loop then
    // serves none of the requests it still has buffered, which would keep the
    // field network busy for answers nobody reads.
    virtual bool gone() const { return false; }
    void vout(const char* fmt, va_list ap);
    void out(const char* fmt, ...) DRV_PRINTF(2, 3);
};

struct Session;
using CommandFn = void (*)(Session&);

// One row of a daemon's command table: a cmd value that begins with prefix selects
// the command; name is what the answer calls it.
struct Command {
    const char* prefix;
    const char* name;
    CommandFn run;
};

struct Dialect {
    const char* program;   // "gatex1d"; the V meta command names it
    const char* version;   // the version request's value
    const Command* commands;
    size_t ncommands;
    // "!!..." lines: meta is the meta text (the line without its first "!" and its
    // last two characters), so meta + 1 is what follows "!!".
    void (*raw)(Session&, char* meta);
    // Ask the daemon's main process to terminate or to restart.
    void (*kill)();
    void (*hup)();
};

// Per-connection state.
struct Session {
    Conn& conn;
    const Dialect& dialect;
    bool verbose = false;
    bool closing = false;       // set by commands after which the connection ends
    const Command* command = nullptr;  // the command being run
    Session(Conn& c, const Dialect& d) : conn(c), dialect(d) {}
    // A trace line: written only in verbose mode.
    void trace(const char* fmt, ...) DRV_PRINTF(2, 3);
};

constexpr int kLineBuf = 1024;  // a request is at most 1023 characters

// Serves the connection until the client closes it or a command closes it.
void serve(Conn& conn, const Dialect& dialect);
// Handles one line as read into its 1024-byte buffer (modified in place). Returns
// false when the connection is to be closed.
bool handleLine(Session& s, char* line);

// The commands both daemons answer alike.
void cmd_hello(Session& s);
void cmd_kill(Session& s);
void cmd_hup(Session& s);
void cmd_version(Session& s);

}  // namespace drv
