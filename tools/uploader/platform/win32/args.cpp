// args: the testable pieces of the Windows program's start-up; see args.h.
#include "args.h"

#include <cstdlib>

namespace uplder::win32 {

uint16_t portFromText(const char* v, uint16_t fallback) {
    if (!v || !*v) return fallback;
    for (const char* p = v; *p; ++p)
        if (*p < '0' || *p > '9') return fallback;
    long p = std::strtol(v, nullptr, 10);
    if (p < 1 || p > 65535) return fallback;
    return static_cast<uint16_t>(p);
}

}  // namespace uplder::win32
