// mszip: deflate through zlib with the folder's history carried in zlib's window.
#include "mszip.h"

#include <zlib.h>

#include <cstring>
#include <new>

namespace pakrel {
namespace {

constexpr size_t kWindow = 32768;

// zlib keeps the last 32 KiB of output in its own window. inflateReset empties
// that window, so the folder's history would have to be handed back as a preset
// dictionary for every block (two 32 KiB copies a block besides zlib's own);
// inflateResetKeep ends the finished block's stream and keeps the window, which
// is exactly the history the next block may refer to. At the start of a folder
// the window is emptied and made to exist with an empty dictionary: zlib only
// records output in a window it has, and a block finished in one call does not
// make one.
class MszipDecoder final : public BlockDecoder {
public:
    MszipDecoder() {
        std::memset(&zs_, 0, sizeof zs_);
        if (inflateInit2(&zs_, -15) != Z_OK) throw std::bad_alloc();
        fresh_ = true;
    }
    ~MszipDecoder() override { inflateEnd(&zs_); }

    void reset() override { fresh_ = true; }

    bool decodeBlock(const uint8_t* in, size_t inLen, uint8_t* out, size_t outLen) override {
        if (outLen > kWindow) return false;
        if (fresh_) {
            static const Bytef none = 0;
            if (inflateReset(&zs_) != Z_OK || inflateSetDictionary(&zs_, &none, 0) != Z_OK) return false;
            fresh_ = false;
        } else if (inflateResetKeep(&zs_) != Z_OK) {
            return false;
        }
        zs_.next_in = const_cast<Bytef*>(in);
        zs_.avail_in = uInt(inLen);
        zs_.next_out = out;
        zs_.avail_out = uInt(outLen);
        int rc = inflate(&zs_, Z_FINISH);
        // A block normally ends its deflate stream; some writers stop at a full
        // block without the final flag, which is as good when the size is right.
        // Either way all of the block's input must have been used: a stream that
        // has more to give than the block's size is damaged.
        bool ok = zs_.avail_out == 0 &&
                  (rc == Z_STREAM_END || ((rc == Z_OK || rc == Z_BUF_ERROR) && zs_.avail_in == 0));
        // A failed block leaves the window in an unknown state: the folder is
        // given up by the engine, and a later one starts afresh.
        if (!ok) fresh_ = true;
        return ok;
    }

private:
    z_stream zs_;
    bool fresh_ = true;
};

}  // namespace

std::unique_ptr<BlockDecoder> makeMszipDecoder() { return std::make_unique<MszipDecoder>(); }

}  // namespace pakrel
