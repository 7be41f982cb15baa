// Test-only: pulls the data blocks of a cabinet's folders out of a cabinet image,
// so the decoders can be run on real cabinets without the cabinet engine. It
// checks just enough to stay inside the image; it is no cabinet reader.
#pragma once
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace pakrel::testing {

struct DataBlock {
    std::vector<uint8_t> data;
    size_t outLen = 0;
};

struct FileEntry {
    std::string name;
    uint32_t size = 0;
    uint32_t offset = 0;  // in its folder's decoded data
    uint16_t folder = 0;
};

struct Folder {
    uint16_t compression = 0;  // the folder's compression type field
    std::vector<DataBlock> blocks;
};

inline std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline uint32_t le16(const std::vector<uint8_t>& b, size_t at) { return b[at] | (b[at + 1] << 8); }
inline uint32_t le32(const std::vector<uint8_t>& b, size_t at) { return le16(b, at) | (le16(b, at + 2) << 16); }

// False when the image is too broken to find the folders' blocks; folders whose
// blocks run past the image are cut where the image ends.
inline bool readFolders(const std::vector<uint8_t>& cab, std::vector<Folder>& folders,
                        std::vector<FileEntry>* files = nullptr) {
    folders.clear();
    if (cab.size() < 36 || std::memcmp(cab.data(), "MSCF", 4) != 0) return false;
    const unsigned nFolders = le16(cab, 26);
    const unsigned flags = le16(cab, 30);
    size_t at = 36;
    unsigned folderReserve = 0, dataReserve = 0;
    if (flags & 4) {
        if (at + 4 > cab.size()) return false;
        at += 4 + le16(cab, at);
        folderReserve = cab[40];
        dataReserve = cab[41];
    }
    for (int names = ((flags & 1) ? 2 : 0) + ((flags & 2) ? 2 : 0); names > 0; --names) {
        while (at < cab.size() && cab[at] != 0) ++at;
        ++at;
    }
    for (unsigned i = 0; i < nFolders; ++i) {
        if (at + 8 > cab.size()) return false;
        Folder f;
        size_t data = le32(cab, at);
        unsigned nBlocks = le16(cab, at + 4);
        f.compression = static_cast<uint16_t>(le16(cab, at + 6));
        at += 8 + folderReserve;
        for (unsigned b = 0; b < nBlocks; ++b) {
            if (data + 8 + dataReserve > cab.size()) break;
            size_t inLen = le16(cab, data + 4);
            size_t outLen = le16(cab, data + 6);
            size_t start = data + 8 + dataReserve;
            if (start + inLen > cab.size()) break;
            f.blocks.push_back({std::vector<uint8_t>(cab.begin() + static_cast<long>(start),
                                                     cab.begin() + static_cast<long>(start + inLen)),
                                outLen});
            data = start + inLen;
        }
        folders.push_back(std::move(f));
    }
    if (files) {
        files->clear();
        at = le32(cab, 16);
        for (unsigned i = 0, n = le16(cab, 28); i < n; ++i) {
            if (at + 16 > cab.size()) return false;
            FileEntry e;
            e.size = le32(cab, at);
            e.offset = le32(cab, at + 4);
            e.folder = static_cast<uint16_t>(le16(cab, at + 8));
            at += 16;
            while (at < cab.size() && cab[at] != 0) e.name.push_back(static_cast<char>(cab[at++]));
            ++at;
            files->push_back(e);
        }
    }
    return true;
}

}  // namespace pakrel::testing
