// Test-only: a Quantum encoder for the decoder's tests. It drives the same
// adaptive models as the decoder through the matching arithmetic encoder and
// places raw extra bits where the decoder will read them: the decoder takes 16
// code bits ahead, one per renormalising shift, and raw bits in between.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "quantum_model.h"

namespace pakrel::testing {

class QtmWriter {
public:
    explicit QtmWriter(int windowBits) {
        const int slots = 2 * windowBits;
        for (int i = 0; i < 4; ++i) literal_[i].init(64 * i, 64);
        match3_.init(0, slots < 24 ? slots : 24);
        match4_.init(0, slots < 36 ? slots : 36);
        matchLong_.init(0, slots);
        length_.init(0, 27);
        selector_.init(0, 7);
    }

    // Starts a frame (a data block): the coder restarts, the models stay.
    void startFrame() {
        low_ = 0;
        high_ = 0xFFFF;
        pending_ = 0;
        code_.clear();
        raw_.clear();
        shifts_ = 0;
    }

    void literal(uint8_t b) {
        encode(selector_, b >> 6);
        encode(literal_[b >> 6], b);
    }
    // A match of len (3..290) at distance (1..); the selector the format gives it.
    void match(uint32_t len, uint32_t distance) {
        if (len == 3) {
            encode(selector_, 4);
            position(match3_, distance);
        } else if (len == 4) {
            encode(selector_, 5);
            position(match4_, distance);
        } else {
            encode(selector_, 6);
            uint32_t v = len - 5, base = 0;
            for (int s = 0; s < 27; ++s) {
                int e = s < 6 || s == 26 ? 0 : (s - 2) / 4;
                if (v < base + (1u << e) || s == 26) {
                    encode(length_, s);
                    rawBits(v - base, e);
                    break;
                }
                base += 1u << e;
            }
            position(matchLong_, distance);
        }
    }
    // Any selector, even one the format does not have (7 and up).
    void selector(int s) { encode(selector_, s); }

    // Ends the frame: flushes the coder and returns the frame's bytes.
    std::vector<uint8_t> finish() {
        ++pending_;
        emit((low_ & 0x4000) ? 1 : 0);
        for (int i = 0; i < 32; ++i) code_.push_back(0);
        std::vector<bool> all;
        size_t c = 0;
        for (const auto& r : raw_) {
            while (c < r.afterCodeBits && c < code_.size()) all.push_back(code_[c++]);
            for (int i = r.n - 1; i >= 0; --i) all.push_back((r.value >> i) & 1);
        }
        while (c < code_.size()) all.push_back(code_[c++]);
        std::vector<uint8_t> out((all.size() + 7) / 8);
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i]) out[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
        return out;
    }

private:
    void position(QtmModel& m, uint32_t distance) {
        uint32_t v = distance - 1, base = 0;
        for (int s = 0; s < m.size(); ++s) {
            int e = s < 4 ? 0 : (s - 2) / 2;
            if (v < base + (1u << e)) {
                encode(m, s);
                rawBits(v - base, e);
                return;
            }
            base += 1u << e;
        }
        std::abort();  // the test asked for a distance this model cannot code
    }
    void rawBits(uint32_t value, int n) {
        if (n) raw_.push_back({16 + shifts_, value, n});
    }
    void emit(int bit) {
        code_.push_back(bit);
        for (; pending_ > 0; --pending_) code_.push_back(!bit);
    }
    void encode(QtmModel& m, int symbol) {
        const int k = m.indexOf(symbol);
        const uint32_t range = high_ - low_ + 1;
        const uint32_t total = m.total();
        high_ = low_ + (m.high(k) * range) / total - 1;
        low_ = low_ + (m.low(k) * range) / total;
        m.update(k);
        for (;;) {
            if ((low_ ^ high_) & 0x8000) {
                if ((low_ & 0x4000) && !(high_ & 0x4000)) {
                    ++pending_;
                    low_ &= 0x3FFF;
                    high_ |= 0x4000;
                } else {
                    break;
                }
            } else {
                emit(high_ >> 15);
            }
            low_ = (low_ << 1) & 0xFFFF;
            high_ = ((high_ << 1) | 1) & 0xFFFF;
            ++shifts_;
        }
    }

    struct Raw {
        size_t afterCodeBits;
        uint32_t value;
        int n;
    };
    QtmModel literal_[4], match3_, match4_, matchLong_, length_, selector_;
    uint32_t low_ = 0, high_ = 0xFFFF;
    int pending_ = 0;
    size_t shifts_ = 0;
    std::vector<bool> code_;
    std::vector<Raw> raw_;
};

}  // namespace pakrel::testing
