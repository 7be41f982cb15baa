// text: see text.h.
#include "text.h"

#include <climits>
#include <cstring>

char* drv_trim(char* s) {
    while (drv_isblank(*s)) s++;
    size_t n = strlen(s);
    while (n > 0 && drv_isblank(s[n - 1])) s[--n] = '\0';
    return s;
}

int drv_atoi(const char* s) {
    while (drv_isblank(*s)) s++;
    bool neg = false;
    if (*s == '+' || *s == '-') neg = *s++ == '-';
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 + (*s - '0');
        if (v > (long long)INT_MAX + 1) v = (long long)INT_MAX + 1;
    }
    if (neg) v = -v;
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    return (int)v;
}
