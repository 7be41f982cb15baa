// Frames, register decoding, hexadecimal text, leaf numbers, toq table and leaf
// names of gatex2d.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "binary.h"
#include "util.h"
#include "utframe.h"

namespace {
std::string hex(const unsigned char* b, size_t n) {
    std::string s;
    char t[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(t, sizeof t, "%02X ", b[i]);
        s += t;
    }
    if (!s.empty()) s.pop_back();
    return s;
}
}  // namespace

TEST(UtRequest, ExactBytes) {
    struct {
        int first, count;
        const char* bytes;
    } rows[] = {
        {ut_channel_first(3), kUtChannelRegs, "00 00 00 00 00 06 00 03 07 EE 00 05"},
        {ut_block_first(2), kUtBlockRegs, "00 00 00 00 00 06 00 03 00 14 00 12"},
        {kUtIdentityFirst, kUtIdentityRegs, "00 00 00 00 00 06 00 03 0B C5 00 03"},
        {ut_channel_first(63), kUtChannelRegs, "00 00 00 00 00 06 00 03 0A 46 00 05"},
        {ut_block_first(kUtMaxBlock), kUtBlockRegs, "00 00 00 00 00 06 00 03 FF DC 00 12"},
    };
    for (auto& r : rows) {
        unsigned char req[kUtRequestLen];
        ut_request(req, r.first, r.count);
        EXPECT_EQ(hex(req, sizeof req), r.bytes) << r.first;
    }
    // The last block's registers still have 16-bit addresses; the next one's would not.
    EXPECT_LE(ut_block_first(kUtMaxBlock) + kUtBlockRegs - 1, 65535);
    EXPECT_GT(ut_block_first(kUtMaxBlock + 1) + kUtBlockRegs - 1, 65535);
}

TEST(UtExamine, KindsByLengthAndFunctionCode) {
    unsigned char a[45] = {0, 0, 0, 0, 0, 0x27, 0, 3, 0x24};
    struct {
        int fc, len, need;
        UtAnswerKind kind;
        int code;
    } rows[] = {
        {3, 45, 45, UtAnswerKind::Normal, 0},
        {3, 15, 15, UtAnswerKind::Normal, 0},
        {3, 14, 15, UtAnswerKind::Invalid, 0},   // one byte short of the identity
        {3, 13, 13, UtAnswerKind::Normal, 0},    // enough for get_value's age register
        {3, 12, 13, UtAnswerKind::Invalid, 0},
        {0x83, 9, 13, UtAnswerKind::Exception, 2},
        {0x83, 8, 13, UtAnswerKind::Invalid, 0},  // no room for the exception code
        {0x90, 45, 45, UtAnswerKind::Exception, 2},
        {3, 0, 13, UtAnswerKind::Invalid, 0},
        {3, -1, 13, UtAnswerKind::Invalid, 0},
    };
    for (auto& r : rows) {
        a[7] = (unsigned char)r.fc;
        a[8] = r.fc == 3 ? 0x24 : 2;
        UtAnswer got = ut_examine(a, r.len, r.need);
        EXPECT_EQ(got.kind, r.kind) << r.fc << " " << r.len;
        EXPECT_EQ(got.code, r.code) << r.fc << " " << r.len;
    }
}

TEST(Binary, Int16AndFloat32) {
    const unsigned char fe[] = {0xFF, 0xFE}, b60[] = {0x00, 0x3C}, min[] = {0x80, 0x00};
    EXPECT_EQ(binary_getInt16(fe), -2);
    EXPECT_EQ(binary_getInt16(b60), 60);
    EXPECT_EQ(binary_getInt16(min), -32768);
    const unsigned char f1[] = {0x43, 0x66, 0x80, 0x00}, f2[] = {0x3F, 0x00, 0x00, 0x00},
                        f3[] = {0xC2, 0x28, 0x00, 0x00};
    EXPECT_FLOAT_EQ(binary_getFloat32(f1), 230.5f);
    EXPECT_FLOAT_EQ(binary_getFloat32(f2), 0.5f);
    EXPECT_FLOAT_EQ(binary_getFloat32(f3), -42.0f);
}

TEST(Util, Mb2aAndMa2bRoundTrip) {
    char buf[16] = {0x00, 0x06, 0x0B};
    EXPECT_EQ(mb2a(buf, 3), 6);
    EXPECT_STREQ(buf, "00060b");
    char text[] = "00060B";
    EXPECT_EQ(ma2b(text), 3);
    EXPECT_EQ(0, memcmp(text, "\x00\x06\x0B", 3));

    char all[2 * 256 + 1];
    for (int i = 0; i < 256; i++) all[i] = (char)i;
    EXPECT_EQ(mb2a(all, 256), 512);
    EXPECT_EQ(std::string(all, 6), "000102");
    EXPECT_EQ(std::string(all + 506), "fdfeff");
    EXPECT_EQ(ma2b(all), 256);
    for (int i = 0; i < 256; i++) ASSERT_EQ((unsigned char)all[i], i);

    char bad[] = "zZ1g";  // non-digits count as 0
    EXPECT_EQ(ma2b(bad), 2);
    EXPECT_EQ((unsigned char)bad[0], 0x00);
    EXPECT_EQ((unsigned char)bad[1], 0x10);
    char odd[] = "abc";  // the lone last digit is a high half
    EXPECT_EQ(ma2b(odd), 2);
    EXPECT_EQ((unsigned char)odd[1], 0xC0);
    char empty[] = "";
    EXPECT_EQ(ma2b(empty), 0);
}

TEST(UtLeafBlock, NumberAtCharacterSix) {
    struct {
        const char* leaf;
        bool ok;
        int block;
    } rows[] = {
        {nullptr, true, 1},
        {"0A0B0C00000001D0_1:gw1:502", true, 1},
        {"0A0B0C00000021D4_1:gw1:502", true, 2},
        {"0A0B0C00000020D4_1:gw1:502", true, 1},
        {"0A0B0C00001261D4_1:gw1:502", true, 64},
        {"XXXXXX0", true, 1},           // n = 0: (0-1)/20 truncates to 0
        {"XXXXXX-18", true, 1},
        {"XXXXXX-19", true, 0},
        {"XXXXXX-21", true, 0},
        {"XXXXXX-2147483648", true, -107374181},
        {"XXXXXX2147483647", true, 107374183},
        {"XXXXXX", false, 0},           // 6 characters: no number
        {"", false, 0},
    };
    for (auto& r : rows) {
        int b = -99;
        EXPECT_EQ(ut_leaf_block(r.leaf, &b), r.ok) << (r.leaf ? r.leaf : "(none)");
        EXPECT_EQ(b, r.block) << (r.leaf ? r.leaf : "(none)");
    }
}

TEST(UtToq, TableRows) {
    struct {
        const char* toq;
        int offset, scale;
    } rows[] = {
        {"D4_1", 10, 1}, {"D0_1", 2, 1},  {"D1_1", 4, 1},  {"D2_1", 6, 1},  {"D3_1", 8, 100},
        {"D5_1", 12, 1}, {"D4_2", 14, 1}, {"D5_2", 16, 1}, {"D6_1", 2, 1},  {"D6_2", 4, 1},
        {"D8_1", 2, 1},  {"D8_2", 4, 1},  {"d4_1", -1, 1}, {"D4_1 ", -1, 1}, {"D4", -1, 1},
        {"", -1, 1},     {nullptr, -1, 1}, {"XY", -1, 1},
    };
    for (auto& r : rows) {
        UtRnd rnd;
        rnd.offset = 77;
        ut_toq2rnd(&rnd, r.toq);
        EXPECT_EQ(rnd.offset, r.offset) << (r.toq ? r.toq : "(none)");
        EXPECT_EQ(rnd.scale, r.scale) << (r.toq ? r.toq : "(none)");
        if (rnd.offset >= 0) {
            EXPECT_EQ(rnd.type, UtType::Float32);
            // Every float lies within the 18 registers and spares registers 0 and 1.
            EXPECT_TRUE(rnd.offset >= 2 && rnd.offset + 2 <= kUtBlockRegs);
        }
    }
}

TEST(UtLeafName, KindsAndNames) {
    struct {
        int type;
        std::string kinds;
    } rows[] = {
        {0, "D4_1"},
        {1, ""},
        {2, ""},
        {3, "D6_1 D6_2"},
        {4, "D0_1 D1_1 D2_1 D3_1 D4_1 D5_1"},
        {5, "D0_1 D1_1 D2_1 D3_1 D4_1 D5_1 D4_2 D5_2"},
        {6, "D8_1 D8_2"},
        {7, ""},
        {255, ""},
    };
    for (auto& r : rows) {
        const char* const* k;
        int n = ut_kinds(r.type, &k);
        std::string got;
        for (int i = 0; i < n; i++) got += (i ? " " : "") + std::string(k[i]);
        EXPECT_EQ(got, r.kinds) << r.type;
        // Every listed kind can be read.
        for (int i = 0; i < n; i++) {
            UtRnd rnd;
            ut_toq2rnd(&rnd, k[i]);
            EXPECT_GE(rnd.offset, 0) << k[i];
        }
    }
    const unsigned char id[6] = {1, 2, 3, 0x0A, 0x0B, 0x0C};
    char name[160];
    ut_leafname(name, sizeof name, id, 1, "D4_1", "gw1", 502);
    EXPECT_STREQ(name, "0A0B0C00000021D4_1:gw1:502");
    const unsigned char ff[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    ut_leafname(name, sizeof name, ff, 63, "D5_2", "10.0.0.1", 65535);
    EXPECT_STREQ(name, "FFFFFF00001261D5_2:10.0.0.1:65535");
    // A leaf name read back gives the channel's block.
    int b;
    ASSERT_TRUE(ut_leaf_block(name, &b));
    EXPECT_EQ(b, 64);
    // Bounded by the buffer whatever the host.
    char small[10];
    EXPECT_GT(ut_leafname(small, sizeof small, id, 0, "D4_1", "gw1", 502), 9);
    EXPECT_EQ(strlen(small), 9u);
}
