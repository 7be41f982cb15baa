// ini: see ini.h.
//
// A line is read into an 8192-byte buffer; a line that does not fit, or a last line
// without its line feed, is refused (the message still names the 1023 characters the
// appliance's documentation promises). The line counter counts every line, empty and
// comment lines included, so the logged line numbers match an editor's.
#include "ini.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include "log.h"
#include "text.h"

namespace {
struct Entry {
    std::string key, value;
};
// A deque keeps every entry in place, so pointers handed out by ini_value stay
// valid while the table grows.
std::deque<Entry> g_table;
bool g_sections = false;

constexpr int kLineBuf = 8192;

// Reads one line (through its line feed, at most cap-1 bytes) into buf and returns
// the number of bytes stored; 0 at end of file or on an error.
int read_line(FILE* f, char* buf, int cap) {
    int n = 0;
    while (n < cap - 1) {
        int c = getc(f);
        if (c == EOF) break;
        buf[n++] = (char)c;
        if (c == '\n') break;
    }
    buf[n] = '\0';
    return n;
}
}  // namespace

void ini_set_sections(bool on) { g_sections = on; }

void ini_clear() { g_table.clear(); }

const char* ini_value(const char* key) {
    for (const Entry& e : g_table)
        if (e.key == key) return e.value.c_str();
    return nullptr;
}

void ini_printAll() {
    for (const Entry& e : g_table) printf("(%s)(%s)\n", e.key.c_str(), e.value.c_str());
    fflush(stdout);
}

int ini_load(const char* path) {
    ini_clear();
    FILE* f = fopen(path, "r");
    if (!f) {
        drv_log(LOG_ERR, "%s, FILE: %s\n", strerror(errno), path);
        return -1;
    }
    static char line[kLineBuf];
    std::string section;
    int lineno = 0;
    for (;;) {
        int n = read_line(f, line, kLineBuf);
        if (n == 0) break;
        lineno++;
        if (line[n - 1] != '\n') {
            drv_log(LOG_ERR,
                    "Too long line, FILE: %s, LINE: %d\nPlease restrict a line up to 1023 ascii charactors.\n",
                    path, lineno);
            fclose(f);
            return -1;
        }
        // A NUL byte ends the line's text; the rest of it is ignored.
        char* semi = strchr(line, ';');
        if (semi) *semi = '\0';
        char* s = drv_trim(line);
        if (*s == '\0') continue;
        if (*s == '[') {
            if (g_sections) {
                while (*s == '[' || drv_isblank(*s)) s++;
                size_t len = strlen(s);
                while (len > 0 && (s[len - 1] == ']' || drv_isblank(s[len - 1]))) len--;
                section.assign(s, len);
            }
            continue;
        }
        char* eq = strchr(s, '=');
        if (!eq) {
            drv_log(LOG_ERR, "'%s' doesn't have '='. FILE: %s, LINE: %d\n", s, path, lineno);
            fclose(f);
            return -1;
        }
        *eq = '\0';
        const char* key = drv_trim(s);
        const char* value = drv_trim(eq + 1);
        g_table.push_back({key, value});
        // The qualified twin is as long as it needs to be: section and key are each
        // bounded by the line buffer, their sum is not cut.
        if (g_sections && !section.empty()) g_table.push_back({section + "." + key, value});
    }
    if (ferror(f)) {
        int err = errno;
        drv_log(LOG_ERR, "%s, FILE: %s, LINE: %d\n", strerror(err), path, lineno + 1);
        fclose(f);
        return -1;
    }
    fclose(f);
    return 0;
}
