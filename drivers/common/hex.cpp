// hex: see hex.h. A field cut short by a string end decodes as if the missing
// characters were zeros; nothing past the string end is read.
#include "hex.h"

int h2i(char c) {
    static const char digits[] = "0123456789abcdefABCDEF";
    for (int i = 0; i < 22; i++) {
        if (digits[i] == c) return i < 16 ? i : i - 6;
    }
    return 0;
}

// Decodes nbytes bytes, low byte first.
static unsigned int hex_le(const char* text, int nbytes) {
    unsigned int v = 0;
    bool ended = false;
    for (int i = 0; i < 2 * nbytes; i++) {
        if (!ended && text[i] == '\0') ended = true;
        unsigned d = ended ? 0 : (unsigned)h2i(text[i]);
        int byte = i / 2;
        int shift = byte * 8 + (i % 2 == 0 ? 4 : 0);
        v |= d << shift;
    }
    return v;
}

unsigned short hex_getushort(const char* text) { return (unsigned short)hex_le(text, 2); }

unsigned int hex_getuint(const char* text) { return hex_le(text, 4); }
