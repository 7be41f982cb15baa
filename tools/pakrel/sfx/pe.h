// pe: where the package block goes, read from a Windows program image: the end
// of the raw data of its last section (PointerToRawData + SizeOfRawData of the
// last section header).
#pragma once
#include <cstddef>
#include <cstdint>

namespace pakrel {

// The block offset, or -1 when the bytes are not a complete program header
// (headers must lie within n bytes).
int64_t peBlockOffset(const uint8_t* image, size_t n);

}  // namespace pakrel
