// CRC-32 throughput of the integrity check's routine, over 256 MiB in memory,
// once in one call and once in the check's 2,048-byte pieces.
#include <chrono>
#include <cstdio>
#include <vector>

#include "crc.h"

int main() {
    std::vector<uint8_t> buf(256u << 20);
    for (size_t i = 0; i < buf.size(); ++i) buf[i] = uint8_t(i * 2654435761u >> 13);
    auto time = [&](size_t piece) {
        auto t0 = std::chrono::steady_clock::now();
        uint32_t c = 0;
        for (size_t i = 0; i < buf.size(); i += piece) c = pakrel::crc32Update(c, buf.data() + i, piece);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("crc-32, %zu-byte pieces: %.2f GB/s (crc %08x)\n", piece, buf.size() / s / 1e9, c);
    };
    time(buf.size());
    time(pakrel::kCrcPiece);
    return 0;
}
