// cabtest_util: the cabinet writer of the tests (MSZIP through zlib, with the
// previous blocks as dictionary like the format's writers).
#include "cabtest_util.h"

#include <zlib.h>

#include <stdexcept>

#include "cabformat.h"

namespace pakrel::test {

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        size_t zone = (i / 4096) % 3;
        if (zone == 0) b[i] = uint8_t("the quick brown fox jumps over the lazy dog\n"[i % 44]);
        else if (zone == 1) b[i] = uint8_t(i / 512);
        else b[i] = uint8_t(x >> 16);
    }
    return b;
}

namespace {

Bytes mszipBlock(const Bytes& in, const Bytes& history) {
    z_stream zs{};
    if (deflateInit2(&zs, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("zlib");
    if (!history.empty()) {
        size_t n = history.size() > 32768 ? 32768 : history.size();
        deflateSetDictionary(&zs, history.data() + history.size() - n, uInt(n));
    }
    Bytes out(deflateBound(&zs, uLong(in.size())) + 2);
    out[0] = 'C';
    out[1] = 'K';
    zs.next_in = const_cast<Bytef*>(in.data());
    zs.avail_in = uInt(in.size());
    zs.next_out = out.data() + 2;
    zs.avail_out = uInt(out.size() - 2);
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("zlib");
    out.resize(2 + zs.total_out);
    deflateEnd(&zs);
    return out;
}

void add16(Bytes& b, uint16_t v) { b.push_back(uint8_t(v)); b.push_back(uint8_t(v >> 8)); }
void add32(Bytes& b, uint32_t v) { add16(b, uint16_t(v)); add16(b, uint16_t(v >> 16)); }
void addName(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); b.push_back(0); }

}  // namespace

Built build(const TCab& c) {
    Built out;
    uint16_t flags = c.flags;
    if (c.headerReserve || c.folderReserve || c.dataReserve) flags |= kCabFlagReserve;
    // Encoded data of each folder.
    std::vector<std::vector<Bytes>> enc(c.folders.size());
    for (size_t f = 0; f < c.folders.size(); ++f) {
        Bytes history;
        for (const Bytes& blk : c.folders[f].blocks) {
            if ((c.folders[f].type & 0xF) == kCompMszip) {
                enc[f].push_back(mszipBlock(blk, history));
                history.insert(history.end(), blk.begin(), blk.end());
            } else {
                enc[f].push_back(blk);
            }
        }
    }
    size_t head = kCabHeaderSize + ((flags & kCabFlagReserve) ? 4 + c.headerReserve : 0);
    if (flags & kCabFlagPrev) head += c.prev.size() + 1 + c.prevDisk.size() + 1;
    if (flags & kCabFlagNext) head += c.next.size() + 1 + c.nextDisk.size() + 1;
    size_t foldersAt = head;
    size_t filesAt = foldersAt + c.folders.size() * (8 + c.folderReserve);
    size_t dataAt = filesAt;
    for (const TFile& f : c.files) dataAt += 16 + f.name.size() + 1;

    Bytes b;
    b.insert(b.end(), {'M', 'S', 'C', 'F', 0, 0, 0, 0});
    add32(b, 0);  // cabinet size, set below
    add32(b, 0);
    add32(b, uint32_t(filesAt));
    add32(b, 0);
    b.push_back(3);
    b.push_back(1);
    add16(b, uint16_t(c.folders.size()));
    add16(b, uint16_t(c.files.size()));
    add16(b, flags);
    add16(b, c.setId);
    add16(b, c.index);
    if (flags & kCabFlagReserve) {
        add16(b, c.headerReserve);
        b.push_back(c.folderReserve);
        b.push_back(c.dataReserve);
        b.insert(b.end(), c.headerReserve, 0xAA);
    }
    if (flags & kCabFlagPrev) { addName(b, c.prev); addName(b, c.prevDisk); }
    if (flags & kCabFlagNext) { addName(b, c.next); addName(b, c.nextDisk); }
    size_t at = dataAt;
    for (size_t f = 0; f < c.folders.size(); ++f) {
        add32(b, uint32_t(at));
        add16(b, uint16_t(enc[f].size()));
        add16(b, c.folders[f].type);
        b.insert(b.end(), c.folderReserve, 0xBB);
        for (const Bytes& e : enc[f]) at += 8 + c.dataReserve + e.size();
    }
    for (const TFile& f : c.files) {
        add32(b, f.size);
        add32(b, f.offset);
        add16(b, f.folder);
        add16(b, f.date);
        add16(b, f.time);
        add16(b, f.attribs);
        addName(b, f.name);
    }
    for (size_t f = 0; f < c.folders.size(); ++f) {
        for (size_t k = 0; k < enc[f].size(); ++k) {
            const Bytes& e = enc[f][k];
            out.blockAt.push_back(b.size());
            uint8_t h[8];
            put16(h + 4, uint16_t(e.size()));
            put16(h + 6, uint16_t(c.folders[f].blocks[k].size()));
            uint32_t sum = c.checksums ? cabChecksum(h + 4, 4, cabChecksum(e.data(), e.size(), 0)) : 0;
            put32(h, sum);
            b.insert(b.end(), h, h + 8);
            b.insert(b.end(), c.dataReserve, 0xCC);
            b.insert(b.end(), e.begin(), e.end());
        }
    }
    put32(b.data() + 8, uint32_t(b.size()));
    out.bytes = std::move(b);
    out.foldersAt = foldersAt;
    out.filesAt = filesAt;
    return out;
}

TCab cabOf(const std::vector<std::pair<std::string, Bytes>>& files, uint16_t type) {
    TCab c;
    TFolder f;
    f.type = type;
    Bytes all;
    for (const auto& [name, data] : files) {
        TFile e;
        e.name = name;
        e.size = uint32_t(data.size());
        e.offset = uint32_t(all.size());
        c.files.push_back(e);
        all.insert(all.end(), data.begin(), data.end());
    }
    for (size_t i = 0; i < all.size(); i += 32768)
        f.blocks.emplace_back(all.begin() + long(i), all.begin() + long(std::min(all.size(), i + 32768)));
    c.folders.push_back(f);
    return c;
}

}  // namespace pakrel::test
