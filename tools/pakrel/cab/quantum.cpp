// Quantum decoder for cabinet folders.
//
// Quantum is an LZ77 coder whose every decision goes through an adaptive arithmetic
// coder. Seven models pick the kind of the next item (four literal ranges of 64
// byte values, matches of length 3, of length 4, and longer matches), and further
// models give the literal, the match length and the offset slot; slot extra bits are
// taken raw from the bit stream. Each cabinet data block is one frame of at most
// 32 KiB output: the arithmetic coder starts afresh at the block's first byte
// (any trailer after the frame is ignored), while the window and all models carry
// over from block to block within a folder. reset() starts a new folder.
#include <cstring>

#include "codec.h"
#include "lzx_bits.h"
#include "quantum_model.h"
#include "window.h"

namespace pakrel {
namespace {

constexpr uint32_t kFrameSize = 32768;

struct Tables {
    uint32_t posBase[42];
    uint8_t posExtra[42];
    uint8_t lenBase[27];
    uint8_t lenExtra[27];
    Tables() {
        uint32_t b = 0;
        for (int i = 0; i < 42; ++i) {
            int e = i < 4 ? 0 : (i - 2) / 2;
            posBase[i] = b;
            posExtra[i] = static_cast<uint8_t>(e);
            b += 1u << e;
        }
        // Lengths: six single values, then groups of four per extra bit count; the
        // last symbol stands alone without extra bits.
        uint32_t l = 0;
        for (int i = 0; i < 27; ++i) {
            int e = i < 6 ? 0 : (i < 26 ? (i - 2) / 4 : 0);
            lenBase[i] = static_cast<uint8_t>(l);
            lenExtra[i] = static_cast<uint8_t>(e);
            l += 1u << e;
        }
    }
};
const Tables kTables;

class QuantumDecoder final : public BlockDecoder {
public:
    explicit QuantumDecoder(int windowBits) : windowBits_(windowBits), windowSize_(1u << windowBits), window_(windowSize_) {
        reset();
    }

    void reset() override {
        const int slots = 2 * windowBits_;
        for (int i = 0; i < 4; ++i) literal_[i].init(64 * i, 64);
        match3_.init(0, slots < 24 ? slots : 24);
        match4_.init(0, slots < 36 ? slots : 36);
        matchLong_.init(0, slots);
        length_.init(0, 27);
        selector_.init(0, 7);
        pos_ = 0;
        written_ = 0;
        failed_ = false;
    }

    bool decodeBlock(const uint8_t* in, size_t inLen, uint8_t* out, size_t outLen) override {
        if (failed_ || outLen == 0 || outLen > kFrameSize) return fail();
        bits_.start(in, inLen);
        low_ = 0;
        high_ = 0xFFFF;
        code_ = bits_.read(16);
        if (!decodeFrame(out, static_cast<uint32_t>(outLen))) return fail();
        written_ += outLen;
        if (written_ > windowSize_) written_ = windowSize_;
        return true;
    }

private:
    bool fail() {
        failed_ = true;
        return false;
    }

    // One symbol through the arithmetic coder, then the model learns it.
    int decodeSymbol(QtmModel& m) {
        const uint32_t range = ((high_ - low_) & 0xFFFF) + 1;
        const uint32_t total = m.total();
        const uint32_t target = ((((code_ - low_) & 0xFFFF) + 1) * total - 1) / range;
        const int k = m.find(target);
        const int sym = m.symbol(k);
        high_ = (low_ + (m.high(k) * range) / total - 1) & 0xFFFF;
        low_ = (low_ + (m.low(k) * range) / total) & 0xFFFF;
        m.update(k);
        // Renormalise: shift out settled top bits; when the range straddles the middle
        // too narrowly (low 01..., high 10...), drop the second bit (underflow).
        for (;;) {
            if ((low_ ^ high_) & 0x8000) {
                if ((low_ & 0x4000) && !(high_ & 0x4000)) {
                    code_ ^= 0x4000;
                    low_ &= 0x3FFF;
                    high_ |= 0x4000;
                } else {
                    break;
                }
            }
            low_ = (low_ << 1) & 0xFFFF;
            high_ = ((high_ << 1) | 1) & 0xFFFF;
            code_ = ((code_ << 1) | bits_.read(1)) & 0xFFFF;
        }
        return sym;
    }

    uint32_t offsetFrom(QtmModel& m) {
        int slot = decodeSymbol(m);
        return kTables.posBase[slot] + bits_.read(kTables.posExtra[slot]) + 1;
    }

    bool decodeFrame(uint8_t* out, uint32_t frameLen) {
        uint8_t* const w = window_.data();
        const uint32_t mask = windowSize_ - 1;
        uint32_t o = 0;
        while (o < frameLen) {
            int sel = decodeSymbol(selector_);
            if (sel < 4) {
                uint8_t b = static_cast<uint8_t>(decodeSymbol(literal_[sel]));
                w[pos_] = b;
                pos_ = (pos_ + 1) & mask;
                out[o++] = b;
                continue;
            }
            uint32_t len;
            uint32_t offset;
            if (sel == 4) {
                len = 3;
                offset = offsetFrom(match3_);
            } else if (sel == 5) {
                len = 4;
                offset = offsetFrom(match4_);
            } else if (sel == 6) {
                int l = decodeSymbol(length_);
                len = kTables.lenBase[l] + bits_.read(kTables.lenExtra[l]) + 5;
                offset = offsetFrom(matchLong_);
            } else {
                return false;
            }
            // A match may neither leave the frame nor reach before the folder's
            // first byte (or further back than the window holds). The last frame of
            // a folder may be cut short: its data are decoded to the frame's full
            // size as the compressor wrote them, and only the block's bytes go out.
            if (len > kFrameSize - o) return false;
            uint64_t avail = static_cast<uint64_t>(written_) + o;
            if (offset > avail || offset > windowSize_) return false;
            if (offset <= pos_ && pos_ + len <= windowSize_) {
                // Source and destination both lie in one piece of the window.
                lzCopy(w + pos_, w + (pos_ - offset), len);
                uint32_t n = frameLen - o < len ? frameLen - o : len;
                std::memcpy(out + o, w + pos_, n);
                o += len;
                pos_ = (pos_ + len) & mask;
                continue;
            }
            uint32_t src = (pos_ - offset) & mask;
            for (uint32_t k = 0; k < len; ++k) {
                uint8_t b = w[src];
                w[pos_] = b;
                if (o < frameLen) out[o] = b;
                ++o;
                src = (src + 1) & mask;
                pos_ = (pos_ + 1) & mask;
            }
        }
        return true;
    }

    const int windowBits_;
    const uint32_t windowSize_;
    Window window_;
    QtmBitReader bits_;
    QtmModel literal_[4], match3_, match4_, matchLong_, length_, selector_;
    uint32_t low_ = 0, high_ = 0xFFFF, code_ = 0;
    uint32_t pos_ = 0;
    uint32_t written_ = 0;  // bytes of this folder before this frame, capped at the window
    bool failed_ = false;
};

}  // namespace

std::unique_ptr<BlockDecoder> makeQuantumDecoder(int windowBits) {
    if (windowBits < 10 || windowBits > 21) return nullptr;
    return std::make_unique<QuantumDecoder>(windowBits);
}

}  // namespace pakrel
