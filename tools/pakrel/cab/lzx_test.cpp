#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "codec.h"
#include "lzx_writer.h"

using pakrel::makeLzxDecoder;
using pakrel::testing::LzxWriter;
using pakrel::testing::VerbatimCoder;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kFrame = 32768;

Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

// Frames of one uncompressed block carrying `data`: the E8 header, the block
// header, padding, R0..R2, the raw bytes and (odd size) the pad byte, cut into
// data blocks of one frame each.
std::vector<Bytes> rawFrames(const Bytes& data, bool e8 = false, uint32_t e8Size = 0, uint32_t r0 = 1) {
    LzxWriter w;
    w.e8Header(e8, e8Size);
    w.blockHeader(3, static_cast<uint32_t>(data.size()));
    w.alignForRaw();
    Bytes head = w.take();
    std::vector<Bytes> frames;
    Bytes cur = head;
    for (uint32_t v : {r0, 1u, 1u})
        for (int i = 0; i < 4; ++i) cur.push_back(static_cast<uint8_t>(v >> (8 * i)));
    for (size_t i = 0; i < data.size(); ++i) {
        cur.push_back(data[i]);
        if ((i + 1) % kFrame == 0) frames.push_back(std::move(cur)), cur.clear();
    }
    if (data.size() & 1) cur.push_back(0);
    if (!cur.empty()) frames.push_back(cur);
    return frames;
}

struct Decoded {
    bool ok = true;
    Bytes out;
};

Decoded decodeFrames(pakrel::BlockDecoder& d, const std::vector<Bytes>& frames, const std::vector<size_t>& sizes) {
    Decoded r;
    for (size_t i = 0; i < frames.size() && r.ok; ++i) {
        Bytes out(sizes[i]);
        r.ok = d.decodeBlock(frames[i].data(), frames[i].size(), out.data(), out.size());
        if (r.ok) r.out.insert(r.out.end(), out.begin(), out.end());
    }
    return r;
}

}  // namespace

TEST(LzxDecoder, RefusesWindowSizesOutsideTheFormat) {
    for (int bits : {0, 14, 22, 25}) EXPECT_EQ(makeLzxDecoder(bits), nullptr) << bits;
    for (int bits = 15; bits <= 21; ++bits) EXPECT_NE(makeLzxDecoder(bits), nullptr) << bits;
}

TEST(LzxDecoder, UncompressedBlockSpansFramesAndKeepsItsPadByte) {
    // 40001 raw bytes: one full frame, then the rest and the pad byte, then a
    // verbatim block in the same frame copying from the raw data.
    Bytes data = pattern(40001, 7);
    auto frames = rawFrames(data);
    ASSERT_EQ(frames.size(), 2u);
    VerbatimCoder vc;
    std::vector<uint8_t> pm(VerbatimCoder::kMainSize), pl(249);
    LzxWriter w;
    vc.start(w, 40, pm, pl);
    vc.literal(w, 'x');
    vc.matchAt(w, 39, 20000);  // reaches back into the first frame
    Bytes tail = w.take();
    frames[1].insert(frames[1].end(), tail.begin(), tail.end());

    auto d = makeLzxDecoder(15);
    Decoded r = decodeFrames(*d, frames, {kFrame, data.size() - kFrame + 40});
    ASSERT_TRUE(r.ok);
    Bytes want = data;
    want.push_back('x');
    size_t at = want.size();
    for (int i = 0; i < 39; ++i) want.push_back(want[at - 20000 + i]);
    EXPECT_EQ(r.out, want);
}

TEST(LzxDecoder, MatchesAndRepeatedOffsets) {
    VerbatimCoder vc;
    std::vector<uint8_t> pm(VerbatimCoder::kMainSize), pl(249);
    LzxWriter w;
    w.e8Header(false);
    const uint32_t size = 10 + 3 + 20 + 4 + 5 + 3 + 257;
    vc.start(w, size, pm, pl);
    for (uint8_t c : {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}) vc.literal(w, c);
    vc.matchAt(w, 3, 10);   // "012"; R = 10,1,1
    vc.matchAt(w, 20, 1);   // a run of '2' (overlapping copy); R = 1,10,1
    vc.match(w, 4, 1, 0, 0);  // R1 (10) and swap: R = 10,1,1
    vc.match(w, 5, 0, 0, 0);  // R0 (10) again
    vc.match(w, 3, 2, 0, 0);  // R2 (1) and swap with R0: R = 1,1,10
    vc.match(w, 257, 2, 0, 0);  // R2 (10), the longest match
    Bytes in = w.take();

    Bytes want = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    auto copy = [&](size_t len, size_t dist) {
        size_t at = want.size();
        for (size_t i = 0; i < len; ++i) want.push_back(want[at - dist + i]);
    };
    copy(3, 10);
    copy(20, 1);
    copy(4, 10);
    copy(5, 10);
    copy(3, 1);
    copy(257, 10);
    ASSERT_EQ(want.size(), size);

    auto d = makeLzxDecoder(15);
    Bytes out(size);
    ASSERT_TRUE(d->decodeBlock(in.data(), in.size(), out.data(), out.size()));
    EXPECT_EQ(out, want);
}

TEST(LzxDecoder, TreesAreDeltasFromThePreviousBlockAndResetPerFolder) {
    // Two verbatim blocks in one frame; the second sends its (equal) trees as
    // zero deltas, which decode to the same trees only if the lengths were kept.
    VerbatimCoder vc;
    std::vector<uint8_t> pm(VerbatimCoder::kMainSize), pl(249);
    LzxWriter w;
    w.e8Header(false);
    vc.start(w, 3, pm, pl);
    for (uint8_t c : {'a', 'b', 'c'}) vc.literal(w, c);
    vc.start(w, 3, pm, pl);
    vc.matchAt(w, 3, 3);
    Bytes in = w.take();
    auto d = makeLzxDecoder(15);
    Bytes out(6);
    ASSERT_TRUE(d->decodeBlock(in.data(), in.size(), out.data(), out.size()));
    EXPECT_EQ(out, (Bytes{'a', 'b', 'c', 'a', 'b', 'c'}));
    // A new folder: the second block's zero deltas alone would give empty trees.
    d->reset();
    ASSERT_TRUE(d->decodeBlock(in.data(), in.size(), out.data(), out.size()));
    EXPECT_EQ(out, (Bytes{'a', 'b', 'c', 'a', 'b', 'c'}));
}

TEST(LzxDecoder, WindowWrapsAtItsEnd) {
    // A 32 KiB window: the second frame starts again at window position 0 and
    // matches reach back over the wrap into the first frame.
    Bytes first = pattern(kFrame, 3);
    auto frames = rawFrames(first);
    ASSERT_EQ(frames.size(), 1u);
    VerbatimCoder vc;
    std::vector<uint8_t> pm(VerbatimCoder::kMainSize), pl(249);
    LzxWriter w;
    vc.start(w, 300, pm, pl);
    vc.literal(w, 0xAA);
    vc.matchAt(w, 257, 5);      // 4 bytes before the wrap, then the new literal and itself
    vc.matchAt(w, 42, 32000);  // far back into the first frame
    frames.push_back(w.take());

    auto d = makeLzxDecoder(15);
    Decoded r = decodeFrames(*d, frames, {kFrame, 300});
    ASSERT_TRUE(r.ok);
    Bytes want = first;
    want.push_back(0xAA);
    auto copy = [&](size_t len, size_t dist) {
        size_t at = want.size();
        for (size_t i = 0; i < len; ++i) want.push_back(want[at - dist + i]);
    };
    copy(257, 5);
    copy(42, 32000);
    EXPECT_EQ(r.out, want);
}

TEST(LzxDecoder, RefusesCorruptStreams) {
    VerbatimCoder vc;
    struct Case {
        const char* what;
        uint32_t outLen;
        std::function<void(LzxWriter&, std::vector<uint8_t>&, std::vector<uint8_t>&)> write;
    } cases[] = {
        {"match before the first byte", 8,
         [&](LzxWriter& w, auto& pm, auto& pl) {
             vc.start(w, 8, pm, pl);
             vc.literal(w, 'a');
             vc.matchAt(w, 7, 2);
         }},
        {"repeated offset before the first byte", 4,
         [&](LzxWriter& w, auto& pm, auto& pl) {
             vc.start(w, 4, pm, pl);
             vc.match(w, 4, 0, 0, 0);  // R0 is 1, but nothing was written yet
         }},
        {"match past the block's end", 8,
         [&](LzxWriter& w, auto& pm, auto& pl) {
             vc.start(w, 4, pm, pl);
             vc.literal(w, 'a');
             vc.matchAt(w, 5, 1);
         }},
        {"match past the frame's end", 8,
         [&](LzxWriter& w, auto& pm, auto& pl) {
             vc.start(w, 100, pm, pl);
             vc.literal(w, 'a');
             vc.matchAt(w, 9, 1);
         }},
        {"block type 0", 8, [&](LzxWriter& w, auto&, auto&) { w.blockHeader(0, 8); }},
        {"block type 4", 8, [&](LzxWriter& w, auto&, auto&) { w.blockHeader(4, 8); }},
        {"block of size 0", 8, [&](LzxWriter& w, auto&, auto&) { w.blockHeader(3, 0); }},
        {"main tree without lengths", 8,
         [&](LzxWriter& w, auto& pm, auto& pl) {
             w.blockHeader(1, 8);
             std::vector<uint8_t> zeros(VerbatimCoder::kMainSize);
             w.lengths(zeros, pm, 0, 256);
             w.lengths(zeros, pm, 256, VerbatimCoder::kMainSize);
         }},
        {"over-subscribed pretree", 8,
         [&](LzxWriter& w, auto&, auto&) {
             w.blockHeader(1, 8);
             for (int i = 0; i < 20; ++i) w.bits(1, 4);
         }},
        {"truncated block", 8,
         [&](LzxWriter& w, auto& pm, auto& pl) {
             vc.start(w, 8, pm, pl);
             vc.literal(w, 'a');  // and then the input ends
         }},
    };
    for (auto& c : cases) {
        std::vector<uint8_t> pm(VerbatimCoder::kMainSize), pl(249);
        LzxWriter w;
        w.e8Header(false);
        c.write(w, pm, pl);
        Bytes in = w.take();
        auto d = makeLzxDecoder(15);
        Bytes out(c.outLen);
        EXPECT_FALSE(d->decodeBlock(in.data(), in.size(), out.data(), out.size())) << c.what;
        // The folder stays failed; a new folder decodes again.
        Bytes ok = pattern(5, 1);
        auto frames = rawFrames(ok);
        Bytes out5(5);
        EXPECT_FALSE(d->decodeBlock(frames[0].data(), frames[0].size(), out5.data(), 5)) << c.what;
        d->reset();
        EXPECT_TRUE(d->decodeBlock(frames[0].data(), frames[0].size(), out5.data(), 5)) << c.what;
        EXPECT_EQ(out5, ok) << c.what;
    }
}

TEST(LzxDecoder, RefusesOutputSizesOutsideAFrame) {
    Bytes data = pattern(10, 1);
    auto frames = rawFrames(data);
    Bytes out(kFrame + 1);
    for (size_t n : {size_t{0}, size_t{kFrame + 1}, size_t{11}}) {
        auto d = makeLzxDecoder(15);
        EXPECT_FALSE(d->decodeBlock(frames[0].data(), frames[0].size(), out.data(), n)) << n;
    }
}

namespace {

void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const Bytes& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

}  // namespace

TEST(LzxDecoder, E8TranslationEdges) {
    const uint32_t size = 1000000;  // translation size from the stream header
    // Two frames: a full one and a short last one. No other E8 bytes in the data.
    Bytes data(kFrame + 300, 0x11);
    struct Mark {
        size_t at;
        uint32_t stored;  // the operand in the compressed data
        uint32_t want;    // the operand after decoding
    } marks[] = {
        {100, 1000, 1000 - 100},                          // absolute in range: relative
        {200, static_cast<uint32_t>(-50), size - 50},      // negative, not before the start
        {250, static_cast<uint32_t>(-300), static_cast<uint32_t>(-300)},  // before the start: kept
        {300, size, size},                                // at the translation size: kept
        {400, size - 1, size - 1 - 400},                  // just inside
        {kFrame - 11, 5000, 5000 - (kFrame - 11)},        // last start position of a frame
        {kFrame + 10, 40000, 40000 - (kFrame + 10)},      // positions count the whole folder
        {kFrame + 200, 0, static_cast<uint32_t>(-(static_cast<int32_t>(kFrame) + 200))},
        {kFrame + 300 - 10, 5000, 5000},                  // too close to the frame's end
    };
    for (const Mark& m : marks) {
        data[m.at] = 0xE8;
        put32(data, m.at + 1, m.stored);
    }
    // An operand that itself holds E8 is not a candidate: 0xE8 at 601 belongs to
    // the operand of the E8 at 600 (232 - 600).
    data[600] = 0xE8;
    put32(data, 601, 0xE8);

    auto frames = rawFrames(data, true, size);
    auto d = makeLzxDecoder(17);
    Decoded r = decodeFrames(*d, frames, {kFrame, 300});
    ASSERT_TRUE(r.ok);
    for (const Mark& m : marks) {
        EXPECT_EQ(r.out[m.at], 0xE8) << m.at;
        EXPECT_EQ(get32(r.out, m.at + 1), m.want) << "E8 at " << m.at;
    }
    EXPECT_EQ(get32(r.out, 601), static_cast<uint32_t>(232 - 600));
    // Everything else is untouched.
    Bytes rest = r.out, orig = data;
    for (const Mark& m : marks) put32(rest, m.at + 1, 0), put32(orig, m.at + 1, 0);
    put32(rest, 601, 0), put32(orig, 601, 0);
    EXPECT_EQ(rest, orig);

    // Without the header flag, or in a frame of 10 bytes, nothing is translated.
    Bytes small(10, 0);
    small[0] = 0xE8;
    put32(small, 1, 3);
    for (bool on : {false, true}) {
        auto frames2 = rawFrames(on ? small : data, on, size);
        auto d2 = makeLzxDecoder(17);
        Decoded r2 = decodeFrames(*d2, frames2, on ? std::vector<size_t>{10} : std::vector<size_t>{kFrame, 300});
        ASSERT_TRUE(r2.ok);
        EXPECT_EQ(r2.out, on ? small : data);
    }
}
