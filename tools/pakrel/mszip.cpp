// mszip: deflate through zlib with the folder's history carried as a dictionary.
#include "mszip.h"

#include <zlib.h>

#include <cstring>
#include <new>

namespace pakrel {
namespace {

constexpr size_t kWindow = 32768;

class MszipDecoder final : public BlockDecoder {
public:
    MszipDecoder() {
        std::memset(&zs_, 0, sizeof zs_);
        if (inflateInit2(&zs_, -15) != Z_OK) throw std::bad_alloc();
    }
    ~MszipDecoder() override { inflateEnd(&zs_); }

    void reset() override { histLen_ = 0; }

    bool decodeBlock(const uint8_t* in, size_t inLen, uint8_t* out, size_t outLen) override {
        if (outLen > kWindow) return false;
        if (inflateReset(&zs_) != Z_OK) return false;
        if (histLen_ > 0 && inflateSetDictionary(&zs_, hist_ + histStart(), uInt(histLen_)) != Z_OK)
            return false;
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
        if (!ok) return false;
        remember(out, outLen);
        return true;
    }

private:
    // hist_ holds the last histLen_ (<= kWindow) output bytes ending at histEnd_.
    size_t histStart() const { return histEnd_ - histLen_; }
    void remember(const uint8_t* out, size_t n) {
        if (n >= kWindow) {
            std::memcpy(hist_, out + n - kWindow, kWindow);
            histEnd_ = histLen_ = kWindow;
            return;
        }
        if (histEnd_ + n > sizeof hist_) {
            // Keep the last kWindow - n bytes at the front.
            size_t keep = histLen_ < kWindow - n ? histLen_ : kWindow - n;
            std::memmove(hist_, hist_ + histEnd_ - keep, keep);
            histEnd_ = histLen_ = keep;
        }
        std::memcpy(hist_ + histEnd_, out, n);
        histEnd_ += n;
        histLen_ = histLen_ + n > kWindow ? kWindow : histLen_ + n;
    }

    z_stream zs_;
    uint8_t hist_[2 * kWindow];
    size_t histEnd_ = 0, histLen_ = 0;
};

}  // namespace

std::unique_ptr<BlockDecoder> makeMszipDecoder() { return std::make_unique<MszipDecoder>(); }

}  // namespace pakrel
