// mszip: the MSZIP decoder. Each data block is "CK" and a deflate stream; the
// stream may refer back into the previous blocks of its folder, so the last
// 32 KiB of output stay in zlib's window from one block to the next.
#pragma once
#include <memory>

#include "codec.h"

namespace pakrel {

// The decoder takes the block without its "CK" (the engine checks those bytes).
std::unique_ptr<BlockDecoder> makeMszipDecoder();

}  // namespace pakrel
