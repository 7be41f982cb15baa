// mszip: the MSZIP decoder. Each data block is "CK" and a deflate stream; the
// stream may refer back into the previous blocks of its folder, so the last
// 32 KiB of output are handed to zlib as a preset dictionary for the next block.
#pragma once
#include <memory>

#include "codec.h"

namespace pakrel {

// The decoder takes the block without its "CK" (the engine checks those bytes).
std::unique_ptr<BlockDecoder> makeMszipDecoder();

}  // namespace pakrel
