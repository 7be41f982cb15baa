// crc: zlib's CRC-32, which is the standard one and fast on every target.
#include "crc.h"

#include <zlib.h>

namespace pakrel {

uint32_t crc32Update(uint32_t crc, const void* data, size_t n) {
    const auto* p = static_cast<const Bytef*>(data);
    while (n > 0) {
        uInt k = n > 0x40000000u ? 0x40000000u : uInt(n);
        crc = uint32_t(crc32(crc, p, k));
        p += k;
        n -= k;
    }
    return crc;
}

bool crcFrom(FileOps& files, int h, int64_t start, uint32_t& crc,
             const std::function<void(uint64_t)>& progress) {
    if (start < 0 || files.seek(h, start, SeekFrom::Set) != start) return false;
    uint8_t buf[kCrcPiece];
    uint32_t c = 0;
    uint64_t done = 0;
    for (;;) {
        long n = files.read(h, buf, sizeof buf);
        if (n < 0) return false;
        if (n == 0) break;
        c = crc32Update(c, buf, size_t(n));
        done += uint64_t(n);
        if (progress) progress(done);
    }
    crc = c;
    return true;
}

}  // namespace pakrel
