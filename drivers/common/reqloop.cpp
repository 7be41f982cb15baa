// reqloop: see reqloop.h.
#include "reqloop.h"

#include <cstdio>
#include <cstring>

#include "ov3.h"

namespace drv {

void Conn::vout(const char* fmt, va_list ap) {
    char small[1024];
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return;
    if ((size_t)n < sizeof small) {
        write(small, (size_t)n);
        return;
    }
    // Leaf lists run to 64 KiB: format those into a buffer of their own size.
    char* big = new char[(size_t)n + 1];
    vsnprintf(big, (size_t)n + 1, fmt, ap);
    write(big, (size_t)n);
    delete[] big;
}

void Conn::out(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vout(fmt, ap);
    va_end(ap);
}

void Session::trace(const char* fmt, ...) {
    if (!verbose) return;
    va_list ap;
    va_start(ap, fmt);
    conn.vout(fmt, ap);
    va_end(ap);
}

void cmd_hello(Session& s) { s.conn.out("?cmd=hello&status=OK\n"); }

void cmd_kill(Session& s) {
    s.conn.out("?cmd=kill&status=OK\n");
    s.conn.flush();
    s.closing = true;
    if (s.dialect.kill) s.dialect.kill();
}

void cmd_hup(Session& s) {
    s.conn.out("?cmd=hup&status=OK\n");
    s.conn.flush();
    s.closing = true;
    if (s.dialect.hup) s.dialect.hup();
}

void cmd_version(Session& s) { s.conn.out("?cmd=version&status=OK&val=%s\n", s.dialect.version); }

// Meta lines: the last two characters (the CR LF a terminal sends) are cut first;
// a line of one or two characters keeps only its "!".
static bool handleMeta(Session& s, char* line) {
    size_t n = strlen(line);
    n = n > 2 ? n - 2 : 1;
    line[n] = '\0';
    char* meta = line + 1;
    Conn& c = s.conn;
    bool keep = true;
    switch (meta[0]) {
    case 'q':
        c.out("!%s. OK, closing connection.\n", meta);
        keep = false;
        break;
    case 'k':
        c.out("!%s. OK, trying to kill me.\n", meta);
        c.flush();
        if (s.dialect.kill) s.dialect.kill();
        keep = false;
        break;
    case 'h':
        c.out("!%s. OK, trying to restart me.\n", meta);
        c.flush();
        if (s.dialect.hup) s.dialect.hup();
        keep = false;
        break;
    case 'v':
        s.verbose = true;
        c.out("!%s. OK, verbose-mode on.\n", meta);
        break;
    case 's':
        s.verbose = false;
        c.out("!%s. OK, verbose-mode off.\n", meta);
        break;
    case 'V':
        c.out("!%s. OK, %s version:%s.\n", meta, s.dialect.program, s.dialect.version);
        break;
    case '!':
        if (s.dialect.raw) {
            s.dialect.raw(s, meta);
            break;
        }
        [[fallthrough]];
    default:
        c.out("!%s. Sorry, unknown meta command.\n", meta);
        break;
    }
    c.flush();
    return keep;
}

bool handleLine(Session& s, char* line) {
    if (line[0] == '!') return handleMeta(s, line);

    ov3_parse(line[0] == '?' ? line + 1 : line);
    const char* cmd = ov3_value("cmd");
    if (!cmd) {
        s.conn.out("?status=ENOCMD\n");
        s.conn.flush();
        return true;
    }
    s.command = nullptr;
    for (size_t i = 0; i < s.dialect.ncommands; i++) {
        const Command& k = s.dialect.commands[i];
        if (strncmp(cmd, k.prefix, strlen(k.prefix)) == 0) {
            s.command = &k;
            break;
        }
    }
    if (!s.command) {
        s.conn.out("?cmd=%s&status=EINVALCMD\n", cmd);
    } else {
        s.closing = false;
        s.command->run(s);
    }
    s.conn.flush();
    return !s.closing;
}

void serve(Conn& conn, const Dialect& dialect) {
    Session s(conn, dialect);
    char line[kLineBuf];
    while (!conn.gone() && conn.getLine(line, kLineBuf) > 0) {
        if (!handleLine(s, line)) break;
    }
}

}  // namespace drv
