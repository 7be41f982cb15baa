// One request record of arbitrary bytes, served against a line that answers with
// the rest of the input: whatever arrives, the answer's header echoes the request,
// nothing outside the records is touched (ASan), and refused nodes leave the
// cache alone.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serlink_core.h"
#include "serlink_frame.h"

namespace {

struct FuzzLine : SerialLine {
    const uint8_t* data = nullptr;
    size_t size = 0, off = 0, chunk = 1;
    int open_rc = 0;
    int open() override { return open_rc; }
    void close() override {}
    int write(const uint8_t*, size_t) override { return 0; }
    int read_chunk(uint8_t* buf, size_t cap) override {
        if (off >= size) return 0;  // silence
        size_t n = size - off < chunk ? size - off : chunk;
        if (n > cap) n = cap;
        memcpy(buf, data + off, n);
        off += n;
        return (int)n;
    }
    struct tm now() override {
        struct tm t = {};
        t.tm_year = 126;
        t.tm_mday = 1;
        return t;
    }
};

int sent = 0;
int sender(const MsgAnswer& a) {
    sent++;
    if (a.type != 1 || a.command != recvbuf.command || a.node != recvbuf.node ||
        a.param != recvbuf.param || a.seq != recvbuf.seq)
        abort();
    return 0;
}
void quiet(int, const char*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = [] {
        if (!freopen("/dev/null", "w", stdout)) abort();
        drv_set_log_sink(quiet);
        return true;
    }();
    (void)once;
    if (size < 12) return 0;
    static FuzzLine line;
    core_reset();
    memcpy(reinterpret_cast<char*>(&recvbuf) + sizeof(long), data, ZR_REQ_TEXT);
    recvbuf.type = 1;
    // The 16-node scan pauses 5 ms per node; fuzz its handling through scanleaves.
    if (recvbuf.command == ZRCMD_GET_LEAVES) recvbuf.command = ZRCMD_SCANLEAVES;
    int k = data[10] % 4;
    line.open_rc = k == 3 ? 0 : -k;  // mostly 0; also open and set-up failures
    line.chunk = (size_t)data[11] + 1;
    line.data = data + 12;
    line.size = size - 12;
    line.off = 0;
    serial_line = &line;
    answer_sender = sender;
    // Run twice so that the second request sees a cache the first one filled.
    for (int i = 0; i < 2; i++) {
        MsgAnswer before = cmd12cache;
        sent = 0;
        line.off = 0;
        serve_request();
        if (!zr_node_valid(recvbuf.node) &&
            (recvbuf.command == ZRCMD_SCANLEAVES || recvbuf.command == ZRCMD_CHKTYP20 ||
             recvbuf.command == ZRCMD_CLRCHKTYP20CH)) {
            if (memcmp(&before, &cmd12cache, sizeof before) != 0 || sendbuf.status != ZRST_CMDERR)
                abort();
        }
        if (sent > 1) abort();
    }
    return 0;
}
