// Gateway answers from a hostile network. The input is a flags byte and then a
// sequence of answers, each a length byte (0xff: the read times out) and that many
// bytes. ut_examine sees every answer with each need gatex2d uses; then the answers,
// in turn, are the reads of verbose rescans of two gateways, of verbose get_value
// requests of several leaves and toqs, and of the raw pass-through, so the answer
// examination, the table, the leaf list and the trace escapes all see them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ov3.h"
#include "reqloop.h"
#include "utnode.h"

namespace {
struct Read {
    bool timeout;
    std::string bytes;
};

class FuzzLink : public UtLink {
public:
    std::vector<Read> reads;
    size_t next = 0;
    bool refuse = false;
    int depth = 0;
    int open(const char*, int, int, bool takeLock) override {
        if (refuse) return -1;
        if (takeLock) depth++;
        return 3;
    }
    void close(int, bool releaseLock) override {
        if (releaseLock) depth--;
    }
    bool send(int, const void*, size_t) override { return true; }
    int read(int, void* buf, int size, int) override {
        if (reads.empty()) return -1;
        const Read& r = reads[next++ % reads.size()];
        if (r.timeout) return -1;
        int n = (int)r.bytes.size() < size ? (int)r.bytes.size() : size;
        memcpy(buf, r.bytes.data(), (size_t)n);
        return n;
    }
    void lock() override { depth++; }
    void unlock() override { depth--; }
};

class TextConn : public drv::Conn {
public:
    std::string text;
    int getLine(char*, int) override { return 0; }
    void write(const char* data, size_t len) override {
        if (text.size() < (1u << 20)) text.append(data, len);
    }
    void flush() override {}
};

// The examination's own promises, for any bytes.
void check_examine(const unsigned char* a, int len) {
    static const int needs[] = {kUtValueMinAnswer, kUtIdentityAnswer, kUtChannelAnswer, kUtBlockAnswer};
    for (int need : needs) {
        UtAnswer x = ut_examine(a, len, need);
        switch (x.kind) {
        case UtAnswerKind::Normal:
            if (len < need || a[7] != 3) abort();
            break;
        case UtAnswerKind::Exception:
            if (len < 9 || a[7] == 3 || x.code != a[8]) abort();
            break;
        case UtAnswerKind::Invalid:
            if ((len >= need && len >= 8 && a[7] == 3) || (len >= 9 && a[7] != 3)) abort();
            break;
        }
    }
}

void request(drv::Session& s, const char* text, void (*cmd)(drv::Session&)) {
    char buf[drv::kLineBuf];
    snprintf(buf, sizeof buf, "%s", text);
    ov3_parse(buf);
    cmd(s);
}

time_t fixed_clock() { return 1700000000; }

constexpr int kMaxNodes = 2;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<char> segment(ut_segment_size(kMaxNodes));
    if (size == 0) return 0;
    FuzzLink link;
    unsigned flags = data[0];
    for (size_t i = 1; i < size;) {
        unsigned len = data[i++];
        if (len == 0xff) {
            link.reads.push_back({true, {}});
            continue;
        }
        size_t n = len < size - i ? len : size - i;
        link.reads.push_back({false, std::string((const char*)data + i, n)});
        i += n;
    }
    for (const Read& r : link.reads) check_examine((const unsigned char*)r.bytes.data(), (int)r.bytes.size());

    ut_table_attach(segment.data(), kMaxNodes, true);
    ut_link = &link;
    ut_clock = fixed_clock;
    TextConn conn;
    static const drv::Dialect dialect = {"gatex2d", "x", nullptr, 0, ut_raw, nullptr, nullptr};
    drv::Session s(conn, dialect);
    s.verbose = true;

    request(s, "cmd=rescan&node=gw1:502", ut_cmd_rescan);
    link.refuse = flags & 1;
    request(s, "cmd=rescan&node=gw2:503&timeout=10", ut_cmd_rescan);
    link.refuse = false;
    request(s, "cmd=rescan&node=gw3:504", ut_cmd_rescan);  // the table is full by now
    request(s, "cmd=rescan&node=gw1:502", ut_cmd_rescan);
    if (ut_table.head->count < 0 || ut_table.head->count > kMaxNodes) abort();

    conn.text.clear();
    request(s, "cmd=get_leaves", ut_cmd_get_leaves);
    const std::string& list = conn.text;
    if (list.size() > ut_table.leavesCap || list.empty() || list.back() != '\n') abort();
    if (ut_table.leaves[ut_table.leavesCap - 1] != '\0') abort();

    static const char* const toqs[] = {"D4_1", "D3_1", "D5_2", "D8_2", "XY", ""};
    static const char* const leaves[] = {"0A0B0C00000001D0_1:gw1:502", "0A0B0C00001261D4_1:gw1:502",
                                         "0A0B0C99999999D4_1:gw1:502", "short"};
    for (const char* leaf : leaves) {
        for (const char* toq : toqs) {
            char req[256];
            snprintf(req, sizeof req, "cmd=get_value&node=gw1:502&leaf=%s&toq=%s", leaf, toq);
            conn.text.clear();
            request(s, req, ut_cmd_get_value);
            size_t last = conn.text.rfind("?cmd=get_value&status=");
            if (last == std::string::npos || conn.text.back() != '\n') abort();
        }
    }

    char meta[drv::kLineBuf] = "!gw1:502/\\x00\\x00\\x00\\x00\\x00\\x06\\x00\\x03\\x0b\\xc5\\x00\\x03";
    ut_raw(s, meta);
    if (link.depth != 0) abort();  // every lock taken was given back
    return 0;
}
