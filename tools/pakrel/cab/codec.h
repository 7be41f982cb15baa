// codec: the interface between the cabinet engine and the decoders of its
// compressed folders (MSZIP, LZX, Quantum). A folder's data blocks are decoded one
// after the other by one decoder object, which carries its history and models from
// block to block; the engine calls reset() when a new folder begins.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace pakrel {

class BlockDecoder {
public:
    virtual ~BlockDecoder() = default;
    // A new folder begins: forget all history and adaptive state.
    virtual void reset() = 0;
    // Decodes one data block: inLen compressed bytes into exactly outLen bytes
    // (at most 32768). False on any decoding failure, including output of another
    // size; the engine then reports its decoding error.
    virtual bool decodeBlock(const uint8_t* in, size_t inLen, uint8_t* out, size_t outLen) = 0;
};

// LZX with a window of 2^windowBits bytes (15..21); nullptr for another size.
std::unique_ptr<BlockDecoder> makeLzxDecoder(int windowBits);
// Quantum with a window of 2^windowBits bytes (10..21); nullptr for another size.
std::unique_ptr<BlockDecoder> makeQuantumDecoder(int windowBits);

}  // namespace pakrel
