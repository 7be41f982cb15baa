// Tests of the cabinet structures, the block checksum and the signature search.
#include <gtest/gtest.h>

#include "cabformat.h"
#include "cabtest_util.h"
#include "memfs.h"

using namespace pakrel;
using namespace pakrel::test;

TEST(CabChecksum, WordsAndLeftoverBytesInTheFormatsOrder) {
    struct Case { Bytes in; uint32_t seed; uint32_t want; } cases[] = {
        {{}, 0, 0},
        {{}, 0xDEADBEEF, 0xDEADBEEF},
        {{0x01, 0x02, 0x03, 0x04}, 0, 0x04030201},
        {{0x01}, 0, 0x00000001},
        {{0x01, 0x02}, 0, 0x00000102},          // leftovers are big-endian-ish
        {{0x01, 0x02, 0x03}, 0, 0x00010203},
        {{0x01, 0x02, 0x03, 0x04, 0x05}, 0, 0x04030201 ^ 0x05},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0x12345678, 0x12345678},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cabChecksum(c.in.data(), c.in.size(), c.seed), c.want) << c.in.size();
}

TEST(CabChecksum, DataBlockCoversDataThenSizeFields) {
    Bytes data = bytesOf("hello, cabinet");
    uint8_t h[8] = {};
    put16(h + 4, uint16_t(data.size()));
    put16(h + 6, uint16_t(data.size()));
    put32(h, cabChecksum(h + 4, 4, cabChecksum(data.data(), data.size(), 0)));
    EXPECT_TRUE(dataBlockChecksumOk(h, nullptr, 0, data.data(), data.size()));
    data[3] ^= 1;
    EXPECT_FALSE(dataBlockChecksumOk(h, nullptr, 0, data.data(), data.size()));
    put32(h, 0);  // not computed
    EXPECT_TRUE(dataBlockChecksumOk(h, nullptr, 0, data.data(), data.size()));
    // A writer that covers the reserved area too.
    uint8_t res[3] = {9, 8, 7};
    uint8_t tail[7] = {h[4], h[5], h[6], h[7], 9, 8, 7};
    put32(h, cabChecksum(tail, 7, cabChecksum(data.data(), data.size(), 0)));
    EXPECT_TRUE(dataBlockChecksumOk(h, res, 3, data.data(), data.size()));
    res[0] = 0;
    EXPECT_FALSE(dataBlockChecksumOk(h, res, 3, data.data(), data.size()));
}

TEST(CabStructures, HeaderFolderFileAndDataFieldsAreLittleEndian) {
    TCab c = cabOf({{"a.txt", bytesOf("abc")}}, kCompMszip);
    c.setId = 0xBEEF;
    c.index = 7;
    Built b = build(c);
    CabHeader h;
    ASSERT_TRUE(parseCabHeader(b.bytes.data(), h));
    EXPECT_TRUE(isSupportedVersion(h));
    EXPECT_EQ(h.cabinetSize, b.bytes.size());
    EXPECT_EQ(h.filesOffset, b.filesAt);
    EXPECT_EQ(h.folders, 1);
    EXPECT_EQ(h.files, 1);
    EXPECT_EQ(h.setId, 0xBEEF);
    EXPECT_EQ(h.index, 7);
    FolderEntry f;
    parseFolderEntry(b.bytes.data() + b.foldersAt, f);
    EXPECT_EQ(f.dataOffset, b.blockAt[0]);
    EXPECT_EQ(f.blocks, 1);
    EXPECT_EQ(compressionMethod(f.compression), kCompMszip);
    FileEntry fe;
    parseFileEntry(b.bytes.data() + b.filesAt, fe);
    EXPECT_EQ(fe.size, 3u);
    EXPECT_EQ(fe.date, 0x5A21);
    EXPECT_EQ(fe.attribs, 0x20);
    EXPECT_EQ(compressionWindow(0x1503), 21);
    EXPECT_EQ(compressionMethod(0x1503), 3);

    Bytes bad = b.bytes;
    bad[0] = 'X';
    EXPECT_FALSE(parseCabHeader(bad.data(), h));
    bad = b.bytes;
    bad[24] = 2;  // version 1.2
    ASSERT_TRUE(parseCabHeader(bad.data(), h));
    EXPECT_FALSE(isSupportedVersion(h));
}

namespace {
int64_t searchIn(const Bytes& file, int64_t from = 0) {
    MemFileSystem fs;
    fs.put("C:\\a.exe", file);
    int h = fs.open("C:\\a.exe", OpenMode::Read);
    int64_t r = findCabinet(fs, h, from);
    fs.close(h);
    return r;
}
}  // namespace

TEST(CabSearch, FindsTheCabinetWhereverItStarts) {
    Bytes cab = build(cabOf({{"x", bytesOf("x")}}, 0)).bytes;
    for (size_t at : {size_t(0), size_t(1), size_t(1000), size_t(32768 - 8), size_t(32768 - 3),
                      size_t(32768 - 30), size_t(32768), size_t(65536 + 5)}) {
        Bytes file(at, 0x90);
        file.insert(file.end(), cab.begin(), cab.end());
        EXPECT_EQ(searchIn(file), int64_t(at)) << at;
    }
}

TEST(CabSearch, NoSignatureAndDecoys) {
    EXPECT_EQ(searchIn(Bytes(100000, 'M')), -1);
    EXPECT_EQ(searchIn(Bytes{}), -1);
    Bytes cab = build(cabOf({{"x", bytesOf("x")}}, 0)).bytes;
    // Eight signature bytes in the image (data of the program), then the cabinet.
    Bytes file = bytesOf("MZ......MSCF");
    file.insert(file.end(), 40, 0);
    size_t at = file.size();
    file.insert(file.end(), cab.begin(), cab.end());
    EXPECT_EQ(searchIn(file), int64_t(at));
    // Only a decoy: it is still reported, so the walk says "unknown version".
    Bytes decoy = bytesOf("MSCF");
    decoy.insert(decoy.end(), 40, 0);
    EXPECT_EQ(searchIn(decoy), 0);
}

TEST(CabSearch, FromTheEndOfTheImage) {
    Bytes cab = build(cabOf({{"x", bytesOf("x")}}, 0)).bytes;
    // The image holds a whole cabinet header of version 1.3 as data.
    Bytes file(100, 0x90);
    file.insert(file.end(), cab.begin(), cab.begin() + 36);
    size_t imageEnd = file.size() + 7;
    file.resize(imageEnd, 0);
    size_t at = file.size() + 996;
    file.resize(at, 0);
    file.insert(file.end(), cab.begin(), cab.end());
    EXPECT_EQ(searchIn(file), 100);
    EXPECT_EQ(searchIn(file, int64_t(imageEnd)), int64_t(at));
    // Offsets found from a start across a piece border are still file offsets.
    EXPECT_EQ(searchIn(file, int64_t(at)), int64_t(at));
    EXPECT_EQ(searchIn(file, int64_t(at + 1)), -1);
    EXPECT_EQ(searchIn(file, -1), -2);
}
