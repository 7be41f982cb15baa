// log: system-log writer with a test sink (see log.h).
#include "log.h"

#include <cstdio>

static drv_log_sink g_sink = nullptr;

void drv_set_log_sink(drv_log_sink sink) { g_sink = sink; }

void drv_openlog(const char* ident, int options) {
#ifndef _WIN32
    openlog(ident, options, LOG_USER);
#else
    (void)ident;
    (void)options;
#endif
}

void drv_vlog(int prio, const char* fmt, va_list ap) {
    if (g_sink) {
        char text[2048];
        vsnprintf(text, sizeof text, fmt, ap);
        g_sink(prio, text);
        return;
    }
#ifndef _WIN32
    vsyslog(prio, fmt, ap);
#else
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
#endif
}

void drv_log(int prio, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    drv_vlog(prio, fmt, ap);
    va_end(ap);
}
