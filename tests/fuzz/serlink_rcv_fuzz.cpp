// The RS-485 answer receiver on arbitrary line bytes in arbitrary chunks: it must
// never store past its 1024-byte frame buffer, and a success must be a frame that
// starts with STX and whose check characters match.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "serlink_frame.h"
#include "zrmsg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // First byte: chunk length (1-256), so chunk boundaries are explored too.
    size_t chunk = (size_t)data[0] + 1;
    data++;
    size--;
    ZrReceiver r;
    zr_rcv_init(r);
    int res = ZR_RCV_MORE;
    for (size_t off = 0; off < size && res == ZR_RCV_MORE; off += chunk) {
        size_t n = size - off < chunk ? size - off : chunk;
        res = zr_rcv_feed(r, data + off, n, nullptr);
        if (r.len > ZR_FRAME_MAX) abort();
    }
    // A restart after ETX keeps the end-of-text mark, so STX and two check
    // characters alone can pass: three bytes is the shortest success.
    if (res >= 0 && res != ZR_RCV_MORE) {
        if ((size_t)res != r.len || r.len < 3 || r.frame[0] != ZR_STX) abort();
    } else if (res != ZR_RCV_MORE && res != ZRST_BCC) {
        abort();
    }
    return 0;
}
