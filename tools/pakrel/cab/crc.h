// crc: the package's integrity check, the standard CRC-32 (reflected polynomial
// 0xEDB88320, initial value 0xFFFFFFFF, final complement) of every byte behind
// the block, read in 2,048-byte pieces.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "fileio.h"

namespace pakrel {

uint32_t crc32Update(uint32_t crc, const void* data, size_t n);  // start with 0

constexpr size_t kCrcPiece = 2048;

// CRC-32 of the bytes of handle h from offset start to the end. progress gets
// the bytes read so far after every piece. False when the file cannot be read.
bool crcFrom(FileOps& files, int h, int64_t start, uint32_t& crc,
             const std::function<void(uint64_t done)>& progress = nullptr);

}  // namespace pakrel
