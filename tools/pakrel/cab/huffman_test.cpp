#include <gtest/gtest.h>

#include <vector>

#include "huffman.h"
#include "lzx_writer.h"

using pakrel::HuffmanTable;
using pakrel::testing::canonicalCodes;
using Build = HuffmanTable::Build;

namespace {

// Every symbol with a code decodes back from its canonical code followed by
// arbitrary bits; the table uses exactly the code's bits.
void expectRoundTrip(const std::vector<uint8_t>& lens) {
    HuffmanTable t;
    ASSERT_EQ(t.build(lens.data(), static_cast<int>(lens.size())), Build::Ok);
    auto codes = canonicalCodes(lens);
    for (size_t s = 0; s < lens.size(); ++s) {
        if (!lens[s]) continue;
        for (uint32_t tail : {0u, 0xFFFFu, 0x5555u}) {
            uint32_t next16 = (codes[s] << (16 - lens[s])) | (tail & ((1u << (16 - lens[s])) - 1));
            int len = -1;
            EXPECT_EQ(t.decode(next16, len), static_cast<int>(s));
            EXPECT_EQ(len, lens[s]);
        }
    }
}

}  // namespace

TEST(HuffmanTable, ClassifiesCodeLengths) {
    struct Case {
        const char* what;
        std::vector<uint8_t> lens;
        Build want;
    } cases[] = {
        {"complete 2 symbols", {1, 1}, Build::Ok},
        {"complete with unused symbols", {0, 2, 0, 2, 2, 2}, Build::Ok},
        {"all zero", {0, 0, 0, 0}, Build::Empty},
        {"no symbols", {}, Build::Empty},
        {"single code of 1 bit", {0, 1, 0}, Build::Incomplete},
        {"one 16-bit code short", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, Build::Incomplete},
        {"three 1-bit codes", {1, 1, 1}, Build::Oversubscribed},
        {"one too many at 3 bits", {2, 2, 2, 3, 3, 3}, Build::Oversubscribed},
        {"length 17", {1, 17}, Build::BadLength},
    };
    for (const auto& c : cases) {
        HuffmanTable t;
        EXPECT_EQ(t.build(c.lens.data(), static_cast<int>(c.lens.size())), c.want) << c.what;
    }
}

TEST(HuffmanTable, TooManySymbolsIsRefused) {
    std::vector<uint8_t> lens(HuffmanTable::kMaxSymbols + 1, 10);
    HuffmanTable t;
    EXPECT_EQ(t.build(lens.data(), static_cast<int>(lens.size())), Build::BadLength);
}

TEST(HuffmanTable, DecodesShortAndLongCodes) {
    // A skewed complete code with lengths 1..16 (the last length twice), so codes
    // past the direct lookup are decoded as well.
    std::vector<uint8_t> skew;
    for (int l = 1; l <= 16; ++l) skew.push_back(static_cast<uint8_t>(l));
    skew.push_back(16);
    expectRoundTrip(skew);
    // The LZX main tree of the largest window: 656 symbols of 9 and 10 bits.
    std::vector<uint8_t> wide(656);
    for (size_t i = 0; i < wide.size(); ++i) wide[i] = i < 368 ? 9 : 10;
    expectRoundTrip(wide);
    // Equal lengths are assigned in symbol order, whatever the symbol order of
    // the lengths: symbol 3 gets 0, symbol 0 gets 10, symbol 1 gets 11.
    HuffmanTable t;
    const uint8_t lens[] = {2, 2, 0, 1};
    ASSERT_EQ(t.build(lens, 4), Build::Ok);
    int len = 0;
    EXPECT_EQ(t.decode(0x0000, len), 3);
    EXPECT_EQ(t.decode(0x8000, len), 0);
    EXPECT_EQ(t.decode(0xC000, len), 1);
}

TEST(HuffmanTable, NothingDecodesFromAnEmptyOrFailedTable) {
    HuffmanTable t;
    const uint8_t zero[8] = {};
    ASSERT_EQ(t.build(zero, 8), Build::Empty);
    int len = 0;
    EXPECT_EQ(t.decode(0x0000, len), -1);
    EXPECT_EQ(t.decode(0xFFFF, len), -1);
    // A good table rebuilt from bad lengths must not keep decoding the old codes.
    const uint8_t good[] = {1, 1};
    ASSERT_EQ(t.build(good, 2), Build::Ok);
    const uint8_t bad[] = {1, 1, 1};
    ASSERT_EQ(t.build(bad, 3), Build::Oversubscribed);
    EXPECT_EQ(t.decode(0x0000, len), -1);
    EXPECT_EQ(t.decode(0x8000, len), -1);
}
