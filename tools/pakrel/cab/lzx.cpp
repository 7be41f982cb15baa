// LZX decoder for cabinet folders.
//
// A folder is one LZX stream cut into frames of 32 KiB of output; every cabinet data
// block carries exactly one frame, and the bit stream of a frame starts afresh at
// its block's first byte. The window, the three repeated offsets, the previous code
// lengths (the trees are sent as deltas) and a block that is still running carry
// over from frame to frame; reset() clears them for a new folder.
//
// The decoder refuses anything the format does not allow instead of guessing:
// matches reaching before the start of the folder's data, matches or raw data that
// run past the end of their block or frame, trees that are not a complete prefix
// code, unknown block types, zero-sized blocks and reads far past the block's input.
#include <cstring>

#include "codec.h"
#include "huffman.h"
#include "lzx_bits.h"
#include "window.h"

namespace pakrel {
namespace {

constexpr uint32_t kFrameSize = 32768;
constexpr int kNumChars = 256;
constexpr int kPretreeSize = 20;
constexpr int kLengthTreeSize = 249;
constexpr int kAlignedSize = 8;
constexpr int kMinMatch = 2;
constexpr int kPrimaryLengths = 7;
// Runs in the tree-length encoding may overshoot the end of the range they fill;
// the overshoot lands in this slack (and, for the literal half of the main tree, in
// the lengths that follow, which then serve as the base of the next delta).
constexpr int kLengthSlack = 64;
// Up to one word of zero fill may be taken past a block's input: the last code of a
// frame can end in the final word with the reader looking ahead.
constexpr uint64_t kOverrunSlackBits = 16;
// E8 translation is done only in the first 32768 frames of a folder (1 GiB).
constexpr uint32_t kE8Frames = 32768;

enum BlockType { kVerbatim = 1, kAligned = 2, kUncompressed = 3 };

struct SlotTables {
    uint32_t base[51];
    uint8_t extra[51];
    SlotTables() {
        uint32_t b = 0;
        for (int i = 0; i < 51; ++i) {
            int e = i < 4 ? 0 : (i < 36 ? (i - 2) / 2 : 17);
            base[i] = b;
            extra[i] = static_cast<uint8_t>(e);
            b += 1u << e;
        }
    }
};
const SlotTables kSlots;

int positionSlots(int windowBits) {
    static const int slots[] = {30, 32, 34, 36, 38, 42, 50};
    return slots[windowBits - 15];
}

class LzxDecoder final : public BlockDecoder {
public:
    explicit LzxDecoder(int windowBits)
        : windowSize_(1u << windowBits),
          mainSize_(kNumChars + 8 * positionSlots(windowBits)),
          window_(windowSize_) {
        reset();
    }

    void reset() override {
        pos_ = 0;
        written_ = 0;
        outTotal_ = 0;
        frames_ = 0;
        headerRead_ = false;
        e8Size_ = 0;
        blockType_ = 0;
        blockRemaining_ = 0;
        blockLength_ = 0;
        padPending_ = false;
        r_[0] = r_[1] = r_[2] = 1;
        std::memset(mainLen_, 0, sizeof mainLen_);
        std::memset(lengthLen_, 0, sizeof lengthLen_);
        failed_ = false;
    }

    bool decodeBlock(const uint8_t* in, size_t inLen, uint8_t* out, size_t outLen) override {
        // After a failure the stream position is unknown; the rest of the folder is lost.
        if (failed_ || outLen == 0 || outLen > kFrameSize) return fail();
        if (pos_ == windowSize_) pos_ = 0;
        if (pos_ + outLen > windowSize_) return fail();
        bits_.start(in, inLen);
        // Raw bytes of a running uncompressed block continue at the block's first
        // byte; after one that ended the previous frame with its pad byte missing,
        // that pad byte comes first.
        rawPos_ = padPending_ ? 1 : 0;
        padPending_ = false;
        frameStart_ = pos_;
        if (!decodeFrame(static_cast<uint32_t>(outLen))) return fail();
        std::memcpy(out, &window_[frameStart_], outLen);
        if (e8Size_ != 0 && frames_ < kE8Frames && outLen > 10) translateE8(out, outLen);
        ++frames_;
        outTotal_ += outLen;
        return true;
    }

private:
    bool fail() {
        failed_ = true;
        return false;
    }

    bool inputExhausted() const { return bits_.overrunBits() > kOverrunSlackBits; }

    bool decodeFrame(uint32_t frameLen) {
        const uint32_t frameEnd = pos_ + frameLen;
        if (!headerRead_) {
            headerRead_ = true;
            if (bits_.read(1)) {
                uint32_t hi = bits_.read(16);
                uint32_t lo = bits_.read(16);
                e8Size_ = static_cast<int32_t>((hi << 16) | lo);
            }
        }
        while (pos_ < frameEnd) {
            if (blockRemaining_ == 0 && !readBlockHeader()) return false;
            uint32_t run = frameEnd - pos_;
            if (run > blockRemaining_) run = blockRemaining_;
            bool ok = blockType_ == kUncompressed ? copyRaw(run) : decodeRun(run);
            if (!ok) return false;
            blockRemaining_ -= run;
            if (blockRemaining_ == 0 && blockType_ == kUncompressed && (blockLength_ & 1)) {
                // An odd uncompressed block is followed by a pad byte: the next input
                // byte, in this data block if it has one more, else in the next.
                if (rawPos_ < bits_.size()) {
                    ++rawPos_;
                } else {
                    padPending_ = true;
                }
            }
            if (inputExhausted()) return false;
        }
        written_ += frameLen;
        if (written_ > windowSize_) written_ = windowSize_;
        return true;
    }

    bool readBlockHeader() {
        if (blockType_ == kUncompressed) {
            // Bit reading resumes after the raw bytes (and pad byte) of the block.
            bits_.restartAt(rawPos_);
        }
        blockType_ = static_cast<int>(bits_.read(3));
        uint32_t hi = bits_.read(16);
        uint32_t lo = bits_.read(8);
        blockLength_ = (hi << 8) | lo;
        blockRemaining_ = blockLength_;
        if (blockLength_ == 0 || inputExhausted()) return false;
        switch (blockType_) {
        case kAligned: {
            uint8_t lens[kAlignedSize];
            for (auto& l : lens) l = static_cast<uint8_t>(bits_.read(3));
            auto b = aligned_.build(lens, kAlignedSize);
            if (b != HuffmanTable::Build::Ok && b != HuffmanTable::Build::Empty) return false;
        }
            [[fallthrough]];
        case kVerbatim: {
            if (!readLengths(mainLen_, 0, kNumChars)) return false;
            if (!readLengths(mainLen_, kNumChars, mainSize_)) return false;
            if (main_.build(mainLen_, mainSize_) != HuffmanTable::Build::Ok) return false;
            if (!readLengths(lengthLen_, 0, kLengthTreeSize)) return false;
            auto b = length_.build(lengthLen_, kLengthTreeSize);
            if (b != HuffmanTable::Build::Ok && b != HuffmanTable::Build::Empty) return false;
            return !inputExhausted();
        }
        case kUncompressed: {
            size_t at = bits_.alignedWordOffset();
            if (at + 12 > bits_.size()) return false;
            const uint8_t* p = bits_.data() + at;
            for (int i = 0; i < 3; ++i) {
                r_[i] = static_cast<uint32_t>(p[4 * i]) | (static_cast<uint32_t>(p[4 * i + 1]) << 8) |
                        (static_cast<uint32_t>(p[4 * i + 2]) << 16) | (static_cast<uint32_t>(p[4 * i + 3]) << 24);
            }
            rawPos_ = at + 12;
            return true;
        }
        default:
            return false;
        }
    }

    // Reads the code lengths [first, last) of a tree: a pretree, then its codes,
    // each giving the new length as a delta (mod 17) from the previous one.
    bool readLengths(uint8_t* lens, int first, int last) {
        uint8_t preLens[kPretreeSize];
        for (auto& l : preLens) l = static_cast<uint8_t>(bits_.read(4));
        if (pre_.build(preLens, kPretreeSize) != HuffmanTable::Build::Ok) return false;
        const int limit = last + kLengthSlack;
        int i = first;
        while (i < last) {
            int z = preSymbol();
            if (z < 0) return false;
            int run = 1;
            int value;
            if (z == 17) {
                run = 4 + static_cast<int>(bits_.read(4));
                value = 0;
            } else if (z == 18) {
                run = 20 + static_cast<int>(bits_.read(5));
                value = 0;
            } else if (z == 19) {
                run = 4 + static_cast<int>(bits_.read(1));
                int d = preSymbol();
                if (d < 0) return false;
                value = lens[i] - d;
                if (value < 0) value += 17;
                // A delta of 18 or 19 from a length 0 or 1 has no meaning.
                if (value < 0 || value > HuffmanTable::kMaxLen) return false;
            } else {
                value = lens[i] - z;
                if (value < 0) value += 17;
                if (value < 0 || value > HuffmanTable::kMaxLen) return false;
            }
            if (i + run > limit) return false;
            for (int k = 0; k < run; ++k) lens[i++] = static_cast<uint8_t>(value);
            if (inputExhausted()) return false;
        }
        return true;
    }

    int preSymbol() { return symbol(pre_); }

    int symbol(const HuffmanTable& t) {
        bits_.ensure(HuffmanTable::kMaxLen);
        int len = 0;
        int s = t.decode(bits_.peek(HuffmanTable::kMaxLen), len);
        if (s >= 0) bits_.skip(len);
        return s;
    }

    bool copyRaw(uint32_t run) {
        if (rawPos_ > bits_.size() || bits_.size() - rawPos_ < run) return false;
        std::memcpy(&window_[pos_], bits_.data() + rawPos_, run);
        rawPos_ += run;
        pos_ += run;
        return true;
    }

    // Decodes literals and matches of a verbatim or aligned block until exactly
    // `run` more bytes are in the window.
    bool decodeRun(uint32_t run) {
        const uint32_t end = pos_ + run;
        uint8_t* const w = window_.data();
        const bool aligned = blockType_ == kAligned;
        while (pos_ < end) {
            int sym = symbol(main_);
            if (sym < 0) return false;
            if (sym < kNumChars) {
                w[pos_++] = static_cast<uint8_t>(sym);
                continue;
            }
            sym -= kNumChars;
            uint32_t len = sym & 7;
            int slot = sym >> 3;
            if (len == kPrimaryLengths) {
                int extra = symbol(length_);
                if (extra < 0) return false;
                len += static_cast<uint32_t>(extra);
            }
            len += kMinMatch;

            uint32_t offset;
            if (slot == 0) {
                offset = r_[0];
            } else if (slot == 1) {
                offset = r_[1];
                r_[1] = r_[0];
                r_[0] = offset;
            } else if (slot == 2) {
                offset = r_[2];
                r_[2] = r_[0];
                r_[0] = offset;
            } else {
                int extra = kSlots.extra[slot];
                uint32_t formatted = kSlots.base[slot];
                if (aligned && extra >= 3) {
                    formatted += bits_.read(extra - 3) << 3;
                    int a = symbol(aligned_);
                    if (a < 0) return false;
                    formatted += static_cast<uint32_t>(a);
                } else {
                    formatted += bits_.read(extra);
                }
                offset = formatted - 2;
                r_[2] = r_[1];
                r_[1] = r_[0];
                r_[0] = offset;
            }

            if (len > end - pos_) return false;  // past the end of the block or frame
            if (!copyMatch(offset, len)) return false;
        }
        return true;
    }

    bool copyMatch(uint32_t offset, uint32_t len) {
        uint8_t* const w = window_.data();
        // Bytes of this folder in the window: complete frames plus this frame so far.
        uint64_t avail = static_cast<uint64_t>(written_) + (pos_ - frameStart_);
        // Offset 0 (only reachable through the repeated offsets an uncompressed
        // block sets) and offsets before the folder's first byte have no source.
        if (offset == 0 || offset > avail || offset > windowSize_) return false;
        if (offset <= pos_) {
            lzCopy(w + pos_, w + (pos_ - offset), len);
        } else {
            // The source begins near the end of the window (data of earlier frames).
            uint32_t src = pos_ + windowSize_ - offset;
            for (uint32_t k = 0; k < len; ++k) {
                w[pos_ + k] = w[src];
                if (++src == windowSize_) src = 0;
            }
        }
        pos_ += len;
        return true;
    }

    // The x86 CALL translation the compressor applied: an E8 byte followed by an
    // absolute 32-bit target is turned back into the relative displacement. The
    // last 10 bytes of a frame start no translation (so no operand reaches into its
    // last 6 bytes), and a translated operand is never a candidate itself.
    void translateE8(uint8_t* data, size_t len) const {
        const int32_t size = e8Size_;
        const uint8_t* const stop = data + len - 10;
        uint8_t* p = data;
        while (p < stop) {
            p = static_cast<uint8_t*>(std::memchr(p, 0xE8, static_cast<size_t>(stop - p)));
            if (p == nullptr) break;
            int32_t cur = static_cast<int32_t>(outTotal_ + static_cast<uint64_t>(p - data));
            int32_t abs = static_cast<int32_t>(static_cast<uint32_t>(p[1]) | (static_cast<uint32_t>(p[2]) << 8) |
                                               (static_cast<uint32_t>(p[3]) << 16) |
                                               (static_cast<uint32_t>(p[4]) << 24));
            if (abs >= -cur && abs < size) {
                uint32_t rel = abs >= 0 ? static_cast<uint32_t>(abs) - static_cast<uint32_t>(cur)
                                        : static_cast<uint32_t>(abs) + static_cast<uint32_t>(size);
                p[1] = static_cast<uint8_t>(rel);
                p[2] = static_cast<uint8_t>(rel >> 8);
                p[3] = static_cast<uint8_t>(rel >> 16);
                p[4] = static_cast<uint8_t>(rel >> 24);
            }
            p += 5;
        }
    }

    const uint32_t windowSize_;
    const int mainSize_;
    Window window_;
    LzxBitReader bits_;
    HuffmanTable pre_, main_, length_, aligned_;
    uint8_t mainLen_[HuffmanTable::kMaxSymbols + kLengthSlack];
    uint8_t lengthLen_[kLengthTreeSize + kLengthSlack];

    uint32_t pos_ = 0;         // next write position in the window
    uint32_t frameStart_ = 0;  // window position of the current frame
    uint32_t written_ = 0;     // bytes of this folder before the current frame, capped at the window
    uint64_t outTotal_ = 0;    // bytes of this folder handed out so far
    uint32_t frames_ = 0;
    bool headerRead_ = false;
    int32_t e8Size_ = 0;
    int blockType_ = 0;
    uint32_t blockLength_ = 0;
    uint32_t blockRemaining_ = 0;
    size_t rawPos_ = SIZE_MAX;  // input offset of the next raw byte (uncompressed block)
    bool padPending_ = false;
    uint32_t r_[3] = {1, 1, 1};
    bool failed_ = false;
};

}  // namespace

std::unique_ptr<BlockDecoder> makeLzxDecoder(int windowBits) {
    if (windowBits < 15 || windowBits > 21) return nullptr;
    return std::make_unique<LzxDecoder>(windowBits);
}

}  // namespace pakrel
