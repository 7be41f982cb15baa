// Canonical Huffman decoding tables for the LZX decoder. Codes are assigned the
// usual canonical way (shorter codes first, equal lengths in symbol order) and read
// most significant bit first. Building reports why a set of code lengths is unusable,
// because the decoder must tell an empty tree (legal for trees a block never uses)
// from an over-subscribed or incomplete one (corrupt data).
#pragma once
#include <cstdint>

namespace pakrel {

class HuffmanTable {
public:
    static constexpr int kMaxLen = 16;
    static constexpr int kMaxSymbols = 656;  // LZX main tree with the largest window

    enum class Build {
        Ok,              // a complete prefix code
        Empty,           // every length is zero: no symbol can be decoded
        Incomplete,      // some bit patterns decode to nothing
        Oversubscribed,  // more codes than the lengths allow
        BadLength,       // a length above kMaxLen, or too many symbols
    };

    // lengths[i] is the code length of symbol i (0: not used).
    Build build(const uint8_t* lengths, int count);

    // Decodes one symbol from the next kMaxLen bits of the stream (most significant
    // first, zero padded). Returns the symbol and sets len to the bits it used, or
    // returns -1 when the bits are no code of this table.
    int decode(uint32_t next16, int& len) const {
        uint16_t e = fast_[next16 >> (kMaxLen - kFastBits)];
        if (e != 0) {
            len = e & 31;
            return e >> 5;
        }
        return decodeLong(next16, len);
    }

private:
    static constexpr int kFastBits = 10;
    int decodeLong(uint32_t next16, int& len) const;

    // (symbol << 5) | length for codes up to kFastBits long; 0 sends the lookup to
    // decodeLong (longer codes, or no code).
    uint16_t fast_[1 << kFastBits] = {};
    uint16_t count_[kMaxLen + 1] = {};
    uint32_t first_[kMaxLen + 1] = {};   // first canonical code of each length
    uint16_t offset_[kMaxLen + 1] = {};  // index in sorted_ of that first code
    uint16_t sorted_[kMaxSymbols] = {};
    bool usable_ = false;
};

}  // namespace pakrel
