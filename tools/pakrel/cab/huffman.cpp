// huffman: building the canonical Huffman decoding tables of the LZX decoder from
// code lengths, with the reason a set of lengths is unusable; see huffman.h.
#include "huffman.h"

namespace pakrel {

HuffmanTable::Build HuffmanTable::build(const uint8_t* lengths, int count) {
    usable_ = false;
    for (auto& e : fast_) e = 0;
    for (auto& c : count_) c = 0;
    if (count < 0 || count > kMaxSymbols) return Build::BadLength;
    for (int i = 0; i < count; ++i) {
        if (lengths[i] > kMaxLen) return Build::BadLength;
        ++count_[lengths[i]];
    }
    count_[0] = 0;

    // Kraft check: how many codes of each length are still free.
    int32_t left = 1;
    int used = 0;
    for (int l = 1; l <= kMaxLen; ++l) {
        left = left * 2 - count_[l];
        if (left < 0) return Build::Oversubscribed;
        used += count_[l];
    }
    if (used == 0) return Build::Empty;
    if (left != 0) return Build::Incomplete;

    uint32_t code = 0;
    uint16_t index = 0;
    for (int l = 1; l <= kMaxLen; ++l) {
        code = (code + (l > 1 ? count_[l - 1] : 0)) << 1;
        first_[l] = code;
        offset_[l] = index;
        index = static_cast<uint16_t>(index + count_[l]);
    }
    // Symbols in code order: by length, then by symbol value.
    uint16_t next[kMaxLen + 1];
    for (int l = 1; l <= kMaxLen; ++l) next[l] = offset_[l];
    for (int i = 0; i < count; ++i) {
        if (lengths[i] != 0) sorted_[next[lengths[i]]++] = static_cast<uint16_t>(i);
    }
    for (int l = 1; l <= kFastBits; ++l) {
        for (int k = 0; k < count_[l]; ++k) {
            uint32_t c = first_[l] + k;
            uint16_t sym = sorted_[offset_[l] + k];
            uint32_t lo = c << (kFastBits - l);
            uint32_t n = 1u << (kFastBits - l);
            for (uint32_t j = 0; j < n; ++j) fast_[lo + j] = static_cast<uint16_t>((sym << 5) | l);
        }
    }
    usable_ = true;
    return Build::Ok;
}

int HuffmanTable::decodeLong(uint32_t next16, int& len) const {
    if (!usable_) return -1;
    for (int l = kFastBits + 1; l <= kMaxLen; ++l) {
        uint32_t c = next16 >> (kMaxLen - l);
        if (c >= first_[l] && c - first_[l] < count_[l]) {
            len = l;
            return sorted_[offset_[l] + (c - first_[l])];
        }
    }
    return -1;
}

}  // namespace pakrel
