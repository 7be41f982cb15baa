// Bit readers for the LZX and Quantum decoders. Both formats take their bits most
// significant first; LZX packs them in 16-bit little-endian words, Quantum in plain
// bytes. Each reader works over one data block: past its end it supplies zero bits
// and counts them, so a decoder on hostile input runs into a bounded stream of zeros
// (and its own output limit) instead of reading outside the buffer.
#pragma once
#include <cstddef>
#include <cstdint>

namespace pakrel {

template <bool Words16>
class BitReader {
public:
    void start(const uint8_t* data, size_t len) {
        base_ = data;
        p_ = data;
        end_ = data + len;
        buf_ = 0;
        bits_ = 0;
        fill_ = 0;
    }

    // Makes at least n (<= 32) bits available.
    void ensure(int n) {
        if (bits_ < n) refill();
    }
    // The next n bits (1..32) without consuming them; ensure(n) first.
    uint32_t peek(int n) const {
        return static_cast<uint32_t>(buf_ >> (bits_ - n)) & static_cast<uint32_t>((uint64_t{1} << n) - 1);
    }
    void skip(int n) { bits_ -= n; }
    uint32_t read(int n) {
        if (n == 0) return 0;
        ensure(n);
        uint32_t v = peek(n);
        bits_ -= n;
        return v;
    }

    // Bits taken by the decoder so far, counted from the start of the block.
    uint64_t consumedBits() const {
        return static_cast<uint64_t>(p_ - base_) * 8 + fill_ - static_cast<uint64_t>(bits_);
    }
    // Bits taken beyond the real end of the block (zero fill the decoder used).
    uint64_t overrunBits() const {
        uint64_t have = static_cast<uint64_t>(end_ - base_) * 8;
        uint64_t used = consumedBits();
        return used > have ? used - have : 0;
    }
    size_t size() const { return static_cast<size_t>(end_ - base_); }
    const uint8_t* data() const { return base_; }

    // Byte offset of the next unread bit after dropping 1..16 bits to reach the next
    // 16-bit boundary (an already aligned stream drops a whole word): the padding
    // in front of an LZX uncompressed block.
    size_t alignedWordOffset() const { return static_cast<size_t>((consumedBits() / 16 + 1) * 2); }
    // Restarts bit reading at a byte offset of the block (after raw bytes were taken).
    void restartAt(size_t offset) {
        p_ = base_ + (offset < size() ? offset : size());
        buf_ = 0;
        bits_ = 0;
        fill_ = offset > size() ? (offset - size()) * 8 : 0;
    }

private:
    void refill() {
        if constexpr (Words16) {
            while (bits_ <= 48) {
                uint64_t w;
                if (end_ - p_ >= 2) {
                    w = static_cast<uint64_t>(p_[0]) | (static_cast<uint64_t>(p_[1]) << 8);
                    p_ += 2;
                    bits_ += 16;
                } else if (p_ < end_) {
                    // An odd last byte is the low half of a word whose high half is missing.
                    w = p_[0];
                    ++p_;
                    fill_ += 8;
                    bits_ += 16;
                } else {
                    w = 0;
                    fill_ += 16;
                    bits_ += 16;
                }
                buf_ = (buf_ << 16) | w;
            }
        } else {
            while (bits_ <= 56) {
                uint64_t b = 0;
                if (p_ < end_) {
                    b = *p_++;
                } else {
                    fill_ += 8;
                }
                buf_ = (buf_ << 8) | b;
                bits_ += 8;
            }
        }
    }

    const uint8_t* base_ = nullptr;
    const uint8_t* p_ = nullptr;
    const uint8_t* end_ = nullptr;
    uint64_t buf_ = 0;  // the low bits_ bits are unread, most significant first
    int bits_ = 0;
    uint64_t fill_ = 0;  // zero bits supplied beyond the end
};

using LzxBitReader = BitReader<true>;
using QtmBitReader = BitReader<false>;

}  // namespace pakrel
