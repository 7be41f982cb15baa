// pmtoq: see pmtoq.h.
#include "pmtoq.h"

#include <cstring>

namespace {
struct Row {
    const char* toq;
    int offset, nregs, divisor;
};

const Row kind2[] = {
    {"ipc", 20, 2, 100}, {"vrn", 24, 2, 10}, {"vrs", 24, 2, 10}, {"vrt", 26, 2, 10},
    {"vtr", 26, 2, 10},  {"vtn", 28, 2, 10}, {"vst", 28, 2, 10}, {"cr", 34, 2, 100},
    {"cs", 36, 2, 100},  {"ct", 38, 2, 100}, {"ip", 40, 2, 1000}, {"pf", 48, 1, 1},
};
const Row kind1Odd[] = {
    {"ipc", 20, 2, 100}, {"v", 24, 2, 10}, {"c", 34, 2, 100}, {"ip", 40, 2, 1000}, {"pf", 48, 1, 1},
};
const Row kind1Even[] = {
    {"ipc", 22, 2, 100}, {"v", 24, 2, 10}, {"c", 38, 2, 100}, {"ip", 42, 2, 1000}, {"pf", 49, 1, 1},
};

struct Group {
    const Row* rows;
    size_t n;
};
const Group groups[] = {
    {kind2, sizeof kind2 / sizeof kind2[0]},
    {kind1Odd, sizeof kind1Odd / sizeof kind1Odd[0]},
    {kind1Even, sizeof kind1Even / sizeof kind1Even[0]},
};
}  // namespace

void pm_toq2rnd(PmRnd* result, const char* toq, int group) {
    *result = PmRnd{};
    if (!toq || !*toq || group < 0 || group > 2) return;
    const Group& g = groups[group];
    for (size_t i = 0; i < g.n; i++) {
        if (strcmp(g.rows[i].toq, toq) == 0) {
            result->offset = g.rows[i].offset;
            result->nregs = g.rows[i].nregs;
            result->divisor = g.rows[i].divisor;
            return;
        }
    }
}
