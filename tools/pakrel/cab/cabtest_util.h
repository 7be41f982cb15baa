// cabtest_util: builds cabinets byte by byte for the tests, so that every field
// can be set to a damaged value.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace pakrel::test {

using Bytes = std::vector<uint8_t>;

struct TFolder {
    uint16_t type = 0;            // compression type field
    std::vector<Bytes> blocks;    // uncompressed contents, one per data block
};

struct TFile {
    std::string name;
    uint32_t size = 0, offset = 0;
    uint16_t folder = 0, date = 0x5A21, time = 0x6000, attribs = 0x20;
};

struct TCab {
    std::vector<TFolder> folders;
    std::vector<TFile> files;
    uint16_t flags = 0, setId = 0x1234, index = 0;
    uint16_t headerReserve = 0;
    uint8_t folderReserve = 0, dataReserve = 0;
    std::string prev, prevDisk, next, nextDisk;
    bool checksums = true;
};

struct Built {
    Bytes bytes;
    size_t foldersAt = 0, filesAt = 0;
    std::vector<size_t> blockAt;  // every data block, in order
};

Built build(const TCab& c);
// Files with their contents in one folder of the given type, split into
// 32 KiB blocks.
TCab cabOf(const std::vector<std::pair<std::string, Bytes>>& files, uint16_t type);
Bytes bytesOf(const std::string& s);
// Deterministic mixed content: text, runs and noise.
Bytes pattern(size_t n, uint32_t seed);

}  // namespace pakrel::test
