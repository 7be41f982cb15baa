// cabformat: decoding of the cabinet structures, the block checksum and the
// signature search.
#include "cabformat.h"

#include <cstring>
#include <vector>

namespace pakrel {

bool hasCabSignature(const uint8_t* p) {
    static const uint8_t sig[8] = {'M', 'S', 'C', 'F', 0, 0, 0, 0};
    return std::memcmp(p, sig, 8) == 0;
}

bool parseCabHeader(const uint8_t* p, CabHeader& h) {
    if (std::memcmp(p, "MSCF", 4) != 0) return false;
    h.cabinetSize = le32(p + 8);
    h.filesOffset = le32(p + 16);
    h.versionMinor = p[24];
    h.versionMajor = p[25];
    h.folders = le16(p + 26);
    h.files = le16(p + 28);
    h.flags = le16(p + 30);
    h.setId = le16(p + 32);
    h.index = le16(p + 34);
    return true;
}

bool isSupportedVersion(const CabHeader& h) { return h.versionMajor == 1 && h.versionMinor == 3; }

void parseFolderEntry(const uint8_t* p, FolderEntry& f) {
    f.dataOffset = le32(p);
    f.blocks = le16(p + 4);
    f.compression = le16(p + 6);
}

void parseFileEntry(const uint8_t* p, FileEntry& f) {
    f.size = le32(p);
    f.offset = le32(p + 4);
    f.folder = le16(p + 8);
    f.date = le16(p + 10);
    f.time = le16(p + 12);
    f.attribs = le16(p + 14);
}

void parseDataHeader(const uint8_t* p, DataHeader& d) {
    d.checksum = le32(p);
    d.compressedSize = le16(p + 4);
    d.uncompressedSize = le16(p + 6);
}

uint32_t cabChecksum(const uint8_t* p, size_t n, uint32_t seed) {
    uint32_t sum = seed;
    size_t words = n / 4;
    for (size_t i = 0; i < words; ++i, p += 4) sum ^= le32(p);
    uint32_t rest = 0;
    switch (n & 3) {
    case 3: rest |= uint32_t(*p++) << 16; [[fallthrough]];
    case 2: rest |= uint32_t(*p++) << 8; [[fallthrough]];
    case 1: rest |= *p;
    }
    return sum ^ rest;
}

bool dataBlockChecksumOk(const uint8_t* header8, const uint8_t* reserve, size_t reserveLen,
                         const uint8_t* data, size_t dataLen) {
    uint32_t want = le32(header8);
    if (want == 0) return true;
    uint32_t dataSum = cabChecksum(data, dataLen, 0);
    if (cabChecksum(header8 + 4, 4, dataSum) == want) return true;
    if (reserveLen == 0) return false;
    // The reserved area counted with the size fields.
    std::vector<uint8_t> tail(4 + reserveLen);
    std::memcpy(tail.data(), header8 + 4, 4);
    std::memcpy(tail.data() + 4, reserve, reserveLen);
    return cabChecksum(tail.data(), tail.size(), dataSum) == want;
}

int64_t findCabinet(FileOps& files, int h, int64_t from) {
    if (from < 0 || files.seek(h, from, SeekFrom::Set) != from) return -2;
    // Room for one piece plus the tail of the previous one and the header bytes
    // that decide a match.
    constexpr size_t kKeep = 25;  // bytes up to and including the major version
    std::vector<uint8_t> buf(kSearchPiece + kKeep);
    size_t have = 0;       // bytes in buf
    int64_t base = from;   // file offset of buf[0]
    int64_t firstRaw = -1;
    bool atEnd = false;
    while (!atEnd) {
        long n = files.read(h, buf.data() + have, kSearchPiece);
        if (n < 0) return firstRaw >= 0 ? firstRaw : -2;
        if (n == 0) atEnd = true;
        have += size_t(n);
        // A match is decided when its version bytes are in the buffer (or the file ends).
        size_t limit = atEnd ? have : (have > kKeep ? have - kKeep : 0);
        for (size_t i = 0; i + 8 <= have && i < limit; ++i) {
            if (buf[i] != 'M' || !hasCabSignature(&buf[i])) continue;
            int64_t at = base + int64_t(i);
            if (i + 26 <= have && buf[i + 24] == 3 && buf[i + 25] == 1) return at;
            if (firstRaw < 0) firstRaw = at;
        }
        if (limit > 0) {
            std::memmove(buf.data(), buf.data() + limit, have - limit);
            base += int64_t(limit);
            have -= limit;
        }
    }
    return firstRaw;
}

}  // namespace pakrel
