// util: see util.h.
#include "util.h"

#include <cstring>

int mb2a(char* buffer, int length) {
    static const char digits[] = "0123456789abcdef";
    if (length < 0) length = 0;
    buffer[2 * length] = '\0';
    // From the back, so each byte is read before its place is written over.
    for (int i = length - 1; i >= 0; i--) {
        unsigned char b = (unsigned char)buffer[i];
        buffer[2 * i + 1] = digits[b & 15];
        buffer[2 * i] = digits[b >> 4];
    }
    return 2 * length;
}

static int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

int ma2b(char* text) {
    size_t len = strlen(text);
    int n = 0;
    for (size_t i = 0; i < len; i += 2) {
        int hi = nibble(text[i]);
        // An odd last character has no partner: it must not pair with the string end
        // as if that were a digit, nor read beyond it.
        int lo = i + 1 < len ? nibble(text[i + 1]) : 0;
        text[n++] = (char)(hi << 4 | lo);
    }
    return n;
}
