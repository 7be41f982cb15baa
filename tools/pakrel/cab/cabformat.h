// cabformat: the on-disk structures of a cabinet (version 1.3), decoded from bytes
// with every field checked, the data block checksum, and the signature search that
// finds a cabinet inside a larger file (a package starts with the program image).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "fileio.h"

namespace pakrel {

constexpr size_t kCabHeaderSize = 36;
constexpr size_t kFolderEntrySize = 8;
constexpr size_t kFileEntrySize = 16;
constexpr size_t kDataHeaderSize = 8;
constexpr size_t kMaxNameBytes = 256;       // names end within this many bytes
constexpr size_t kMaxBlockOut = 32768;      // uncompressed bytes of one data block
constexpr size_t kMaxBlockIn = 32768 + 6144;  // compressed bytes of one data block
constexpr size_t kSearchPiece = 32768;      // the signature search reads this much at a time

enum : uint16_t { kCabFlagPrev = 0x0001, kCabFlagNext = 0x0002, kCabFlagReserve = 0x0004 };
enum : uint16_t { kFolderContFromPrev = 0xFFFD, kFolderContToNext = 0xFFFE, kFolderContBoth = 0xFFFF };
enum : uint16_t { kCompStored = 0, kCompMszip = 1, kCompQuantum = 2, kCompLzx = 3 };

struct CabHeader {
    uint32_t cabinetSize = 0;
    uint32_t filesOffset = 0;
    uint8_t versionMinor = 0, versionMajor = 0;
    uint16_t folders = 0, files = 0, flags = 0, setId = 0, index = 0;
};

struct FolderEntry {
    uint32_t dataOffset = 0;
    uint16_t blocks = 0;
    uint16_t compression = 0;
};

struct FileEntry {
    uint32_t size = 0;
    uint32_t offset = 0;  // uncompressed offset in the folder
    uint16_t folder = 0, date = 0, time = 0, attribs = 0;
    std::string name;     // the raw bytes, without the terminating zero
};

struct DataHeader {
    uint32_t checksum = 0;
    uint16_t compressedSize = 0;
    uint16_t uncompressedSize = 0;
};

// "MSCF" and the four zero bytes of the first reserved field.
bool hasCabSignature(const uint8_t* p);
// Fixed 36-byte header. False when the signature is wrong.
bool parseCabHeader(const uint8_t* p, CabHeader& h);
bool isSupportedVersion(const CabHeader& h);  // 1.3 only
void parseFolderEntry(const uint8_t* p, FolderEntry& f);
// The 16 fixed bytes of a file entry (the name follows).
void parseFileEntry(const uint8_t* p, FileEntry& f);
void parseDataHeader(const uint8_t* p, DataHeader& d);

// The folder's compression method (low four bits) and its window bits (bits 8-12).
inline int compressionMethod(uint16_t type) { return type & 0x000F; }
inline int compressionWindow(uint16_t type) { return (type >> 8) & 0x1F; }

// The format's checksum: 32-bit XOR of little-endian words, with the 1 to 3 bytes
// left over folded in the format's own byte order.
uint32_t cabChecksum(const uint8_t* p, size_t n, uint32_t seed);
// Checks a data block's checksum field against its data and its header's size
// fields. Writers differ on whether the block's reserved area is covered, so both
// forms are accepted. A zero field means "not computed" and always passes.
bool dataBlockChecksumOk(const uint8_t* header8, const uint8_t* reserve, size_t reserveLen,
                         const uint8_t* data, size_t dataLen);

// Searches the file behind handle h (positioned anywhere) from offset `from` in pieces
// of kSearchPiece bytes. Returns the offset of the cabinet, -1 when there is no
// signature, -2 when the file cannot be read. A signature across the border of
// two pieces is found too. A match whose version field is not 1.3 is taken only
// when no match with the right version follows: the program image in front of
// the cabinet may hold the eight signature bytes as data. A package searches
// from the end of its own image, which it knows, so that nothing in the image
// can be taken for the cabinet.
int64_t findCabinet(FileOps& files, int h, int64_t from = 0);

inline uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}

}  // namespace pakrel
