// Test-only: writes LZX streams bit by bit, so the decoder's tests can build the
// exact blocks they need (trees, matches, repeated offsets, raw blocks) and check
// the decoder's reading of them.
#pragma once
#include <cstdint>
#include <vector>

namespace pakrel::testing {

// Canonical codes for a set of lengths, the way the format assigns them.
inline std::vector<uint32_t> canonicalCodes(const std::vector<uint8_t>& lens) {
    int count[17] = {};
    for (uint8_t l : lens) ++count[l];
    count[0] = 0;
    uint32_t next[17] = {};
    uint32_t code = 0;
    for (int l = 1; l <= 16; ++l) {
        code = (code + count[l - 1]) << 1;
        next[l] = code;
    }
    std::vector<uint32_t> codes(lens.size());
    for (size_t i = 0; i < lens.size(); ++i) {
        if (lens[i]) codes[i] = next[lens[i]]++;
    }
    return codes;
}

class LzxWriter {
public:
    // Bits go most significant first into 16-bit little-endian words.
    void bits(uint32_t value, int n) {
        for (int i = n - 1; i >= 0; --i) {
            acc_ = static_cast<uint16_t>((acc_ << 1) | ((value >> i) & 1));
            if (++nacc_ == 16) flushWord();
        }
    }
    // Pads to the next 16-bit boundary the way an uncompressed block needs it
    // (a whole word when already aligned).
    void alignForRaw() {
        if (nacc_ == 0) {
            bits(0, 16);
        } else {
            bits(0, 16 - nacc_);
        }
    }
    void byte(uint8_t b) { out_.push_back(b); }
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    // Ends the frame: the last word is completed with zero bits.
    std::vector<uint8_t> take() {
        if (nacc_) bits(0, 16 - nacc_);
        std::vector<uint8_t> r;
        r.swap(out_);
        return r;
    }

    void e8Header(bool on, uint32_t size = 0) {
        bits(on, 1);
        if (on) {
            bits(size >> 16, 16);
            bits(size & 0xFFFF, 16);
        }
    }
    void blockHeader(int type, uint32_t size) {
        bits(static_cast<uint32_t>(type), 3);
        bits(size >> 8, 16);
        bits(size & 0xFF, 8);
    }

    // Tree lengths through a pretree in which every delta symbol 0..19 has a code
    // (12 of 4 bits, 8 of 5), each length sent as its plain delta from prev.
    void lengths(const std::vector<uint8_t>& next, std::vector<uint8_t>& prev, size_t first, size_t last) {
        std::vector<uint8_t> pre(20);
        for (int i = 0; i < 20; ++i) pre[i] = i < 12 ? 4 : 5;
        auto codes = canonicalCodes(pre);
        for (uint8_t l : pre) bits(l, 4);
        for (size_t i = first; i < last; ++i) {
            int z = (prev[i] - next[i] + 17) % 17;
            bits(codes[z], pre[z]);
            prev[i] = next[i];
        }
    }

private:
    void flushWord() {
        out_.push_back(static_cast<uint8_t>(acc_));
        out_.push_back(static_cast<uint8_t>(acc_ >> 8));
        acc_ = 0;
        nacc_ = 0;
    }
    std::vector<uint8_t> out_;
    uint16_t acc_ = 0;
    int nacc_ = 0;
};

// A verbatim block writer for a 2^15 window (30 offset slots, 496 main symbols):
// every main symbol gets a code (16 of 8 bits, 480 of 9) and the length tree
// codes its 249 footers (7 of 7 bits, 242 of 8), so any literal or match can be
// written.
class VerbatimCoder {
public:
    static constexpr int kMainSize = 256 + 8 * 30;
    VerbatimCoder() : mainLens_(kMainSize), lenLens_(249) {
        for (int i = 0; i < kMainSize; ++i) mainLens_[i] = i < 16 ? 8 : 9;
        for (int i = 0; i < 249; ++i) lenLens_[i] = i < 7 ? 7 : 8;
        mainCodes_ = canonicalCodes(mainLens_);
        lenCodes_ = canonicalCodes(lenLens_);
    }
    // The block header and trees. prevMain/prevLen are the lengths the decoder
    // holds from earlier blocks (all zero at a folder's start).
    void start(LzxWriter& w, uint32_t size, std::vector<uint8_t>& prevMain, std::vector<uint8_t>& prevLen) const {
        w.blockHeader(1, size);
        w.lengths(mainLens_, prevMain, 0, 256);
        w.lengths(mainLens_, prevMain, 256, kMainSize);
        w.lengths(lenLens_, prevLen, 0, 249);
    }
    void literal(LzxWriter& w, uint8_t b) const { w.bits(mainCodes_[b], mainLens_[b]); }
    // A match of len (2..257) through offset slot `slot` with `extra` extra bits
    // holding `footer`.
    void match(LzxWriter& w, int len, int slot, int extraBits, uint32_t footer) const {
        int header = len - 2 < 7 ? len - 2 : 7;
        int sym = 256 + slot * 8 + header;
        w.bits(mainCodes_[sym], mainLens_[sym]);
        if (header == 7) w.bits(lenCodes_[len - 9], lenLens_[len - 9]);
        if (extraBits) w.bits(footer, extraBits);
    }
    // A match at a plain distance (>= 1), choosing the slot the format gives it.
    void matchAt(LzxWriter& w, int len, uint32_t distance) const {
        uint32_t formatted = distance + 2;
        uint32_t base = 0;
        for (int slot = 0; slot < 30; ++slot) {
            int extra = slot < 4 ? 0 : (slot - 2) / 2;
            if (formatted < base + (1u << extra) && slot >= 3) {
                match(w, len, slot, extra, formatted - base);
                return;
            }
            base += 1u << extra;
        }
    }

private:
    std::vector<uint8_t> mainLens_, lenLens_;
    std::vector<uint32_t> mainCodes_, lenCodes_;
};

}  // namespace pakrel::testing
