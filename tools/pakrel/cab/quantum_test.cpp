#include <gtest/gtest.h>

#include <vector>

#include "codec.h"
#include "qtm_writer.h"

using pakrel::makeQuantumDecoder;
using pakrel::testing::QtmWriter;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kFrame = 32768;

// Text-like data with plenty of repeats at many distances.
Bytes sample(size_t n, uint32_t seed) {
    static const char* words[] = {"meter ", "value ", "0x1F ", "gateway ", "node ", "\r\n", "scan ", "\xE8\x00\xFF "};
    Bytes b;
    while (b.size() < n) {
        seed = seed * 1103515245u + 12345u;
        const char* w = words[(seed >> 16) % 8];
        while (*w && b.size() < n) b.push_back(static_cast<uint8_t>(*w++));
        if ((seed >> 8) % 7 == 0) b.push_back(static_cast<uint8_t>(seed >> 24));
    }
    b.resize(n);
    return b;
}

// Greedy LZ over `data`, frame by frame, with matches kept inside their frame and
// no further back than `reach`. Returns one encoded block per frame.
std::vector<Bytes> encode(const Bytes& data, int windowBits, uint32_t reach) {
    QtmWriter w(windowBits);
    std::vector<Bytes> blocks;
    for (size_t f = 0; f < data.size(); f += kFrame) {
        size_t end = std::min(data.size(), f + kFrame);
        w.startFrame();
        size_t i = f;
        while (i < end) {
            uint32_t bestLen = 0, bestDist = 0;
            for (uint32_t d = 1; d <= reach && d <= i; d = d < 64 ? d + 1 : d * 2 + 1) {
                uint32_t l = 0;
                while (l < 290 && i + l < end && data[i + l] == data[i + l - d]) ++l;
                if (l > bestLen) bestLen = l, bestDist = d;
            }
            // Length-3 matches have only 24 offset slots (4096 bytes back).
            if (bestLen == 3 && bestDist > 4096) bestLen = 0;
            if (bestLen >= 3) {
                w.match(bestLen, bestDist);
                i += bestLen;
            } else {
                w.literal(data[i++]);
            }
        }
        blocks.push_back(w.finish());
    }
    return blocks;
}

bool decodeAll(pakrel::BlockDecoder& d, const std::vector<Bytes>& blocks, size_t total, Bytes& out) {
    out.clear();
    for (size_t i = 0; i < blocks.size(); ++i) {
        size_t n = std::min<size_t>(kFrame, total - i * kFrame);
        Bytes o(n);
        if (!d.decodeBlock(blocks[i].data(), blocks[i].size(), o.data(), n)) return false;
        out.insert(out.end(), o.begin(), o.end());
    }
    return true;
}

}  // namespace

TEST(QuantumDecoder, RefusesWindowSizesOutsideTheFormat) {
    for (int bits : {0, 9, 22}) EXPECT_EQ(makeQuantumDecoder(bits), nullptr) << bits;
    for (int bits = 10; bits <= 21; ++bits) EXPECT_NE(makeQuantumDecoder(bits), nullptr) << bits;
}

TEST(QuantumDecoder, DecodesFramesWithModelsCarriedAcrossBlocks) {
    // Window sizes from one smaller than a frame (the window wraps many times in
    // every frame) to the largest; three full frames and a short last one.
    struct Case {
        int windowBits;
        uint32_t reach;
    } cases[] = {{10, 1024}, {15, 30000}, {21, 100000}};
    for (const auto& c : cases) {
        Bytes data = sample(3 * kFrame + 1234, static_cast<uint32_t>(c.windowBits));
        auto blocks = encode(data, c.windowBits, c.reach);
        auto d = makeQuantumDecoder(c.windowBits);
        Bytes out;
        ASSERT_TRUE(decodeAll(*d, blocks, data.size(), out)) << c.windowBits;
        EXPECT_EQ(out, data) << c.windowBits;
        // A new folder starts from fresh models: the same blocks decode again.
        d->reset();
        ASSERT_TRUE(decodeAll(*d, blocks, data.size(), out)) << c.windowBits;
        EXPECT_EQ(out, data) << c.windowBits;
    }
}

TEST(QuantumDecoder, LongestMatchAndAllLengthsRoundTrip) {
    // Every length from 3 to 290 once, each copying the byte before it.
    Bytes want{'a'};
    QtmWriter w2(16);
    w2.startFrame();
    w2.literal('a');
    for (uint32_t len = 3; want.size() + len <= 5000 && len <= 290; ++len) {
        w2.match(len, 1);
        want.insert(want.end(), len, 'a');
    }
    Bytes block = w2.finish();
    auto d = makeQuantumDecoder(16);
    Bytes out(want.size());
    ASSERT_TRUE(d->decodeBlock(block.data(), block.size(), out.data(), out.size()));
    EXPECT_EQ(out, want);
}

TEST(QuantumDecoder, RefusesMatchesWithoutASource) {
    struct Case {
        const char* what;
        int windowBits;
        uint32_t literals;
        uint32_t len, dist;
        size_t outLen;
    } cases[] = {
        {"before the first byte", 16, 2, 3, 3, 5},
        {"longer match before the first byte", 16, 10, 20, 11, 30},
        {"length 3 past the end of a full frame", 10, 32766, 3, 1, kFrame},
        {"past the end of a full frame", 16, 32760, 20, 1, kFrame},
    };
    for (const auto& c : cases) {
        QtmWriter w(c.windowBits);
        w.startFrame();
        for (uint32_t i = 0; i < c.literals; ++i) w.literal(static_cast<uint8_t>(i));
        w.match(c.len, c.dist);
        Bytes in = w.finish();
        auto d = makeQuantumDecoder(c.windowBits);
        Bytes out(c.outLen);
        EXPECT_FALSE(d->decodeBlock(in.data(), in.size(), out.data(), out.size())) << c.what;
        // The folder stays failed until reset.
        EXPECT_FALSE(d->decodeBlock(in.data(), in.size(), out.data(), 1)) << c.what;
        d->reset();
        EXPECT_TRUE(d->decodeBlock(in.data(), in.size(), out.data(), 1)) << c.what;
        EXPECT_EQ(out[0], 0) << c.what;
    }
}

TEST(QuantumDecoder, ShortLastFrameKeepsOnlyItsBytes) {
    // The compressor coded a longer frame than the block declares: a match runs
    // past the block's size (within the frame); only the block's bytes come out.
    QtmWriter w(16);
    w.startFrame();
    w.literal('q');
    w.match(100, 1);
    Bytes in = w.finish();
    auto d = makeQuantumDecoder(16);
    Bytes out(50);
    ASSERT_TRUE(d->decodeBlock(in.data(), in.size(), out.data(), out.size()));
    EXPECT_EQ(out, Bytes(50, 'q'));
}

TEST(QuantumDecoder, HostileInputEndsCleanly) {
    // Noise and truncated streams must end (the output size bounds the work) and
    // never touch memory outside their buffers (the sanitizer build checks that).
    Bytes data = sample(kFrame, 5);
    auto blocks = encode(data, 15, 30000);
    uint32_t seed = 1;
    int failures = 0;
    for (int round = 0; round < 200; ++round) {
        Bytes in = blocks[0];
        in.resize(round % 2 ? in.size() / (1 + round % 7) : in.size());
        for (size_t i = 0; i < in.size(); ++i) {
            seed = seed * 1103515245u + 12345u;
            if ((seed >> 16) % 50 == 0) in[i] = static_cast<uint8_t>(seed >> 24);
        }
        auto d = makeQuantumDecoder(10 + round % 12);
        Bytes out(kFrame);
        if (!d->decodeBlock(in.data(), in.size(), out.data(), out.size())) ++failures;
    }
    // Most damaged streams run into a match without a source sooner or later.
    EXPECT_GT(failures, 0);
}
