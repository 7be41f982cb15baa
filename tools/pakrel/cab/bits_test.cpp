#include <gtest/gtest.h>

#include <vector>

#include "lzx_bits.h"

using pakrel::LzxBitReader;
using pakrel::QtmBitReader;

TEST(LzxBitReader, TakesWordsLittleEndianMostSignificantBitFirst) {
    // Words 0xA5C3, 0x0F81: the first bits are the top of 0xA5C3.
    const uint8_t in[] = {0xC3, 0xA5, 0x81, 0x0F};
    LzxBitReader r;
    r.start(in, sizeof in);
    EXPECT_EQ(r.read(1), 1u);
    EXPECT_EQ(r.read(3), 0x2u);   // 010
    EXPECT_EQ(r.read(8), 0x5Cu);  // 0101 1100
    EXPECT_EQ(r.read(8), 0x30u);  // 0011 | 0000 (word boundary inside)
    EXPECT_EQ(r.read(12), 0xF81u);
    EXPECT_EQ(r.consumedBits(), 32u);
    EXPECT_EQ(r.overrunBits(), 0u);
}

TEST(LzxBitReader, ReadsUpToThirtyTwoBitsAcrossWords) {
    const uint8_t in[] = {0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A};
    LzxBitReader r;
    r.start(in, sizeof in);
    EXPECT_EQ(r.read(4), 0x1u);
    // The stream is 0x1234 5678 9ABC as one 48-bit number.
    const uint64_t all = 0x123456789ABCull;
    EXPECT_EQ(r.read(17), static_cast<uint32_t>((all >> (48 - 21)) & 0x1FFFF));
    EXPECT_EQ(r.read(27), static_cast<uint32_t>(all & 0x7FFFFFF));
}

TEST(LzxBitReader, SuppliesZerosPastTheEndAndCountsThem) {
    const uint8_t in[] = {0xFF, 0xFF, 0x01};  // one word and an odd last byte
    LzxBitReader r;
    r.start(in, sizeof in);
    EXPECT_EQ(r.read(16), 0xFFFFu);
    // The odd byte is the low half of a word whose high half is missing.
    EXPECT_EQ(r.read(16), 0x0001u);
    EXPECT_EQ(r.overrunBits(), 8u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(r.read(32), 0u);
    EXPECT_EQ(r.overrunBits(), 8u + 3200u);
}

TEST(LzxBitReader, AlignmentDropsOneToSixteenBits) {
    const uint8_t in[8] = {};
    struct Case {
        int taken;
        size_t offset;
    };
    for (Case c : {Case{0, 2}, Case{1, 2}, Case{15, 2}, Case{16, 4}, Case{17, 4}, Case{27, 4}, Case{32, 6}}) {
        LzxBitReader r;
        r.start(in, sizeof in);
        int left = c.taken;
        while (left > 0) {
            int n = left > 16 ? 16 : left;
            r.read(n);
            left -= n;
        }
        EXPECT_EQ(r.alignedWordOffset(), c.offset) << "after " << c.taken << " bits";
    }
}

TEST(LzxBitReader, RestartsAtAByteOffset) {
    const uint8_t in[] = {0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    LzxBitReader r;
    r.start(in, sizeof in);
    r.read(5);
    r.restartAt(3);
    EXPECT_EQ(r.read(16), 0x3322u);
    EXPECT_EQ(r.consumedBits(), 40u);
    r.restartAt(100);  // beyond the end: only zeros, all counted as overrun
    EXPECT_EQ(r.read(8), 0u);
    EXPECT_EQ(r.overrunBits(), (100u - 7u) * 8u + 8u);
}

TEST(QtmBitReader, TakesBytesMostSignificantBitFirst) {
    const uint8_t in[] = {0xA5, 0x3C};
    QtmBitReader r;
    r.start(in, sizeof in);
    EXPECT_EQ(r.read(3), 0x5u);
    EXPECT_EQ(r.read(7), 0x14u);  // 00101 00
    EXPECT_EQ(r.read(6), 0x3Cu);
    EXPECT_EQ(r.overrunBits(), 0u);
    EXPECT_EQ(r.read(16), 0u);
    EXPECT_EQ(r.overrunBits(), 16u);
}
