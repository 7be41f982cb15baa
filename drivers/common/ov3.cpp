// ov3: see ov3.h.
#include "ov3.h"

#include <cstring>
#include <string>
#include <vector>

#include "text.h"

namespace {
struct Pair {
    std::string key, value;
};
std::vector<Pair> g_pairs;
}  // namespace

int ov3_init(int v) {
    g_pairs.clear();
    return v;
}

int ov3_parse(char* text) {
    g_pairs.clear();
    char* s = drv_trim(text);
    for (;;) {
        char* amp = strchr(s, '&');
        if (amp) *amp = '\0';
        char* piece = drv_trim(s);
        char* eq = strchr(piece, '=');
        if (eq) {
            *eq = '\0';
            g_pairs.push_back({drv_trim(piece), drv_trim(eq + 1)});
        }
        if (!amp) break;
        s = amp + 1;
    }
    return 0;
}

const char* ov3_value(const char* key) {
    for (const Pair& p : g_pairs)
        if (p.key == key) return p.value.c_str();
    return nullptr;
}

void ov3_printAll(FILE* stream) {
    for (const Pair& p : g_pairs) fprintf(stream, "(%s),(%s)\n", p.key.c_str(), p.value.c_str());
    fflush(stream);
}

namespace {
// The letter of a two-character escape for c, or 0.
char short_escape(unsigned char c) {
    switch (c) {
    case '\t': return 't';
    case '\r': return 'r';
    case '\n': return 'n';
    case '\\': return '\\';
    default: return 0;
    }
}
char short_unescape(char c) {
    switch (c) {
    case 't': return '\t';
    case 'r': return '\r';
    case 'n': return '\n';
    case '\\': return '\\';
    default: return 0;
    }
}
// Value of a hexadecimal digit, either case; a non-digit counts as 0.
int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}
}  // namespace

namespace ov3_text {
int escape(char* text) {
    int len = (int)strlen(text);
    int extra = 0;
    for (int i = 0; i < len; i++)
        if (short_escape((unsigned char)text[i])) extra++;
    // Fill from the back so every character moves only once.
    int w = len + extra;
    text[w] = '\0';
    for (int r = len - 1; r >= 0; r--) {
        char e = short_escape((unsigned char)text[r]);
        if (e) {
            text[--w] = e;
            text[--w] = '\\';
        } else {
            text[--w] = text[r];
        }
    }
    return len;
}

char* unescape(char* text) {
    char* w = text;
    for (const char* r = text; *r;) {
        char c;
        if (r[0] == '\\' && (c = short_unescape(r[1])) != 0) {
            *w++ = c;
            r += 2;
        } else {
            *w++ = *r++;
        }
    }
    *w = '\0';
    return text;
}
}  // namespace ov3_text

namespace ov3_bytes {
int escape(char* data, int length) {
    static const char hexdigits[] = "0123456789abcdef";
    if (length < 0) length = 0;
    int out = 0;
    for (int i = 0; i < length; i++) {
        unsigned char c = (unsigned char)data[i];
        out += short_escape(c) ? 2 : (c >= 33 && c <= 126) ? 1 : 4;
    }
    int w = out;
    data[w] = '\0';
    for (int r = length - 1; r >= 0; r--) {
        unsigned char c = (unsigned char)data[r];
        char e = short_escape(c);
        if (e) {
            data[--w] = e;
            data[--w] = '\\';
        } else if (c >= 33 && c <= 126) {
            data[--w] = (char)c;
        } else {
            data[--w] = hexdigits[c & 15];
            data[--w] = hexdigits[c >> 4];
            data[--w] = 'x';
            data[--w] = '\\';
        }
    }
    return out;
}

int unescape(char* text) {
    char* w = text;
    const char* r = text;
    while (*r) {
        char c;
        if (r[0] == '\\' && (c = short_unescape(r[1])) != 0) {
            *w++ = c;
            r += 2;
        } else if (r[0] == '\\' && r[1] == 'x' && r[2] != '\0' && r[3] != '\0') {
            *w++ = (char)(hexval(r[2]) << 4 | hexval(r[3]));
            r += 4;
        } else {
            // Includes a "\x" cut short by the end of the text: it stays as it is.
            *w++ = *r++;
        }
    }
    int n = (int)(w - text);
    *w = '\0';
    return n;
}
}  // namespace ov3_bytes
