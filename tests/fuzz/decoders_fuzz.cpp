// Fuzz target for the LZX and Quantum decoders: the first byte picks the window
// size, the rest is split into data blocks by 2-byte headers (input size, output
// size), decoded one after the other by one decoder like a folder.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec.h"

#ifndef ORV_FUZZ_QUANTUM
#define ORV_FUZZ_QUANTUM 0
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    auto d = ORV_FUZZ_QUANTUM ? pakrel::makeQuantumDecoder(10 + data[0] % 12) : pakrel::makeLzxDecoder(15 + data[0] % 7);
    size_t at = 1;
    std::vector<uint8_t> out(32768);
    while (at + 4 <= size) {
        size_t inLen = data[at] | (data[at + 1] << 8);
        size_t outLen = (data[at + 2] | (data[at + 3] << 8)) % 32769;
        at += 4;
        if (inLen > size - at) inLen = size - at;
        std::vector<uint8_t> in(data + at, data + at + inLen);  // exact size, so overreads show
        std::vector<uint8_t> o(outLen);
        if (!d->decodeBlock(in.data(), in.size(), o.data(), o.size())) d->reset();
        at += inLen;
    }
    return 0;
}
