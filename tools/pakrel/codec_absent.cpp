// codec_absent: stand-ins for the LZX and Quantum decoders, compiled in only for
// the decoder whose source is not in the tree (the build defines
// PAKREL_NO_LZX / PAKREL_NO_QUANTUM). A folder of that kind then fails with the
// engine's decoding error instead of failing the build.
#include "codec.h"

namespace pakrel {

#ifdef PAKREL_NO_LZX
std::unique_ptr<BlockDecoder> makeLzxDecoder(int) { return nullptr; }
#endif
#ifdef PAKREL_NO_QUANTUM
std::unique_ptr<BlockDecoder> makeQuantumDecoder(int) { return nullptr; }
#endif

}  // namespace pakrel
