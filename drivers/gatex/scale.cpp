// scale: see scale.h.
#include "scale.h"

#include <cstdio>
#include <cstring>

static char* insert_point(char* out, size_t cap, const char* digits, size_t decimals) {
    if (cap == 0) return out;
    size_t n = strlen(digits);
    if (n > decimals) {
        // "all but the last k digits", ".", "the last k digits"
        snprintf(out, cap, "%.*s.%s", (int)(n - decimals), digits, digits + n - decimals);
    } else {
        // "0." then zeros up to the digits: 5 -> 0.05 for two decimals
        snprintf(out, cap, "0.%.*s%s", (int)(decimals - n), "000", digits);
    }
    return out;
}

char* div10(char* out, size_t cap, const char* digits) { return insert_point(out, cap, digits, 1); }
char* div100(char* out, size_t cap, const char* digits) { return insert_point(out, cap, digits, 2); }
char* div1000(char* out, size_t cap, const char* digits) { return insert_point(out, cap, digits, 3); }

char* scale_by(char* out, size_t cap, const char* digits, int divisor) {
    switch (divisor) {
    case 10: return div10(out, cap, digits);
    case 100: return div100(out, cap, digits);
    case 1000: return div1000(out, cap, digits);
    default:
        if (cap) snprintf(out, cap, "%s", digits);
        return out;
    }
}
