// utframe: see utframe.h.
#include "utframe.h"

#include <cstdio>
#include <cstring>

#include "text.h"

void ut_request(unsigned char out[kUtRequestLen], int first, int count) {
    static const unsigned char head[8] = {0, 0, 0, 0, 0, 6, 0, 3};
    memcpy(out, head, sizeof head);
    out[8] = (unsigned char)(first >> 8);
    out[9] = (unsigned char)first;
    out[10] = (unsigned char)(count >> 8);
    out[11] = (unsigned char)count;
}

UtAnswer ut_examine(const unsigned char* answer, int len, int need) {
    UtAnswer a;
    if (len >= need && len >= 8 && answer[7] == 3) {
        a.kind = UtAnswerKind::Normal;
    } else if (len >= 9 && answer[7] != 3) {
        a.kind = UtAnswerKind::Exception;
        a.code = answer[8];
    }
    return a;
}

bool ut_leaf_block(const char* leaf, int* block) {
    if (!leaf) {
        *block = 1;
        return true;
    }
    if (strlen(leaf) < 7) {
        *block = 0;
        return false;
    }
    // In 64 bits: n - 1 overflows for a leaf number of INT_MIN.
    long long n = drv_atoi(leaf + 6);
    *block = (int)((n - 1) / kUtBlockStep + 1);
    return true;
}

namespace {
struct ToqRow {
    const char* name;
    int offset;
    int scale;
};
const ToqRow kToqs[] = {
    {"D4_1", 10, 1}, {"D0_1", 2, 1},  {"D1_1", 4, 1},  {"D2_1", 6, 1},
    {"D3_1", 8, 100}, {"D5_1", 12, 1}, {"D4_2", 14, 1}, {"D5_2", 16, 1},
    {"D6_1", 2, 1},  {"D6_2", 4, 1},  {"D8_1", 2, 1},  {"D8_2", 4, 1},
};

const char* const kType0[] = {"D4_1"};
const char* const kType3[] = {"D6_1", "D6_2"};
const char* const kType4[] = {"D0_1", "D1_1", "D2_1", "D3_1", "D4_1", "D5_1"};
const char* const kType5[] = {"D0_1", "D1_1", "D2_1", "D3_1", "D4_1", "D5_1", "D4_2", "D5_2"};
const char* const kType6[] = {"D8_1", "D8_2"};
}  // namespace

void ut_toq2rnd(UtRnd* result, const char* toq) {
    *result = UtRnd{};
    if (!toq || !*toq) return;
    for (const ToqRow& r : kToqs) {
        if (strcmp(r.name, toq) == 0) {
            result->offset = r.offset;
            result->scale = r.scale;
            return;
        }
    }
}

int ut_kinds(int type, const char* const** kinds) {
    const char* const* k = nullptr;
    int n = 0;
    switch (type) {
    case 0: k = kType0, n = 1; break;
    case 3: k = kType3, n = 2; break;
    case 4: k = kType4, n = 6; break;
    case 5: k = kType5, n = 8; break;
    case 6: k = kType6, n = 2; break;
    default: break;
    }
    if (kinds) *kinds = k;
    return n;
}

int ut_leafname(char* out, size_t cap, const unsigned char identity[6], int channel, const char* kind,
                const char* host, int port) {
    return snprintf(out, cap, "%02X%02X%02X%08dD%c_%c:%s:%d", identity[3], identity[4], identity[5],
                    kUtBlockStep * channel + 1, kind[1], kind[3], host, port);
}
