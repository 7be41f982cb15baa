// The decoders' match copy against the byte-at-a-time forward copy that defines
// LZ77 matches, over every distance/length relation (apart, touching, overlapping
// by one byte, runs of one byte, patterns that double many times), and the window's
// zero fill.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "window.h"

namespace {

std::vector<uint8_t> reference(std::vector<uint8_t> buf, size_t dst, size_t src, size_t len) {
    for (size_t k = 0; k < len; ++k) buf[dst + k] = buf[src + k];
    return buf;
}

TEST(LzCopy, MatchesTheForwardByteCopy) {
    struct Case {
        size_t dist, len;
    };
    const Case cases[] = {
        {1, 1},   {1, 2},   {1, 16},  {1, 17},  {1, 258},  {2, 3},    {3, 17},   {3, 1000},
        {7, 64},  {16, 16}, {16, 17}, {17, 16}, {31, 257}, {100, 99}, {100, 100}, {100, 101},
        {5, 32768}, {32768, 32768}, {4096, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("dist " + std::to_string(c.dist) + " len " + std::to_string(c.len));
        const size_t src = 3;  // not aligned, and with bytes in front that must stay
        std::vector<uint8_t> buf(src + c.dist + c.len + 5);
        for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<uint8_t>(i * 37 + 11);
        std::vector<uint8_t> want = reference(buf, src + c.dist, src, c.len);
        pakrel::lzCopy(buf.data() + src + c.dist, buf.data() + src, c.len);
        ASSERT_EQ(buf, want);
    }
}

TEST(Window, StartsZeroFilled) {
    pakrel::Window w(1u << 21);
    size_t nonzero = 0;
    for (size_t i = 0; i < (1u << 21); i += 4093) nonzero += w[i] != 0;
    EXPECT_EQ(nonzero, 0u);
    EXPECT_EQ(w.data()[(1u << 21) - 1], 0);
}

}  // namespace
