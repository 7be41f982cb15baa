// log: the one place through which the driver daemons write diagnostics.
// On the appliance it is the system log (facility user, program name as identity,
// with the process id). Tests may install a sink to see exactly what was logged;
// on hosts without syslog (the Windows test build) messages go to stderr.
#pragma once
#include <cstdarg>

#ifdef _WIN32
enum { LOG_ERR = 3, LOG_WARNING = 4, LOG_INFO = 6, LOG_DEBUG = 7 };
enum { LOG_PID = 0x01, LOG_CONS = 0x02, LOG_NDELAY = 0x08 };
#else
#include <syslog.h>
#endif

#if defined(__GNUC__)
#define DRV_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define DRV_PRINTF(a, b)
#endif

// Opens the system log with the given identity and options, facility user.
void drv_openlog(const char* ident, int options = LOG_PID | LOG_NDELAY);
void drv_log(int prio, const char* fmt, ...) DRV_PRINTF(2, 3);
void drv_vlog(int prio, const char* fmt, va_list ap);

// Test hook: when set, every message goes to the sink instead of the system log.
using drv_log_sink = void (*)(int prio, const char* text);
void drv_set_log_sink(drv_log_sink sink);
