// pe: the little of the program image format the package needs.
#include "pe.h"

#include "cabformat.h"

namespace pakrel {

int64_t peBlockOffset(const uint8_t* p, size_t n) {
    if (n < 0x40 || p[0] != 'M' || p[1] != 'Z') return -1;
    uint64_t pe = le32(p + 0x3C);
    if (pe + 24 > n || p[pe] != 'P' || p[pe + 1] != 'E' || p[pe + 2] != 0 || p[pe + 3] != 0) return -1;
    unsigned sections = le16(p + pe + 6);
    unsigned optSize = le16(p + pe + 20);
    if (sections == 0) return -1;
    uint64_t last = pe + 24 + optSize + uint64_t(sections - 1) * 40;
    if (last + 40 > n) return -1;
    uint64_t rawSize = le32(p + last + 16);
    uint64_t rawPtr = le32(p + last + 20);
    return int64_t(rawPtr + rawSize);
}

}  // namespace pakrel
