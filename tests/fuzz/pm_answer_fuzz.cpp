// Meter answers from a hostile line: the input is a sequence of answers (split at
// 0xff bytes) fed to a full scan and then to verbose get_value requests of every
// toq, so answer examination, decoding, scaling and the trace escapes all see it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mewtocol.h"
#include "ov3.h"
#include "pmmeter.h"

namespace {
class FuzzLine : public PmLine {
public:
    std::vector<std::string> answers;
    size_t next = 0;
    int readsSinceSend = 0;
    int open() override { return 3; }
    void close(int) override {}
    bool send(int, const char*, size_t) override {
        readsSinceSend = 0;
        return true;
    }
    int read(int, char* buf, int size, int) override {
        // A line of noise is passed over and read again; a few lines per frame
        // and then silence, as a line whose answer wait runs out.
        if (answers.empty() || ++readsSinceSend > 3) {
            buf[0] = '\0';
            return -1;
        }
        const std::string& a = answers[next++ % answers.size()];
        int n = (int)a.size() < size - 1 ? (int)a.size() : size - 1;
        memcpy(buf, a.data(), (size_t)n);
        buf[n] = '\0';
        return n;
    }
    bool pause(unsigned) override { return false; }
    bool stopping() override { return false; }
};

class NullConn : public drv::Conn {
public:
    int getLine(char*, int) override { return 0; }
    void write(const char*, size_t) override {}
    void flush() override {}
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<PmShared> shared(new PmShared());
    memset(shared.get(), 0, sizeof(PmShared));
    FuzzLine line;
    std::string cur;
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0xff) {
            line.answers.push_back(cur);
            cur.clear();
        } else {
            cur += (char)data[i];
        }
    }
    line.answers.push_back(cur);
    for (const std::string& a : line.answers) {
        PmAnswer x = pm_examine(a.data(), (int)a.size());
        unsigned v;
        pm_decode(x, 1, &v);
        pm_decode(x, 2, &v);
    }
    pm_shared = shared.get();
    pm_line = &line;
    pm_cfg = PmConfig();
    pm_cfg.maxnodes = 3;
    pm_cfg.maxleaves = 31;
    pm_scan(0);
    NullConn conn;
    static const drv::Dialect dialect = {"gatex1d", "x", nullptr, 0, pm_raw, nullptr, nullptr};
    drv::Session s(conn, dialect);
    s.verbose = true;
    static const char* toqs[] = {"ipc", "v", "c", "ip", "pf", "vrn", "ct"};
    for (int node = 1; node <= 3; node++) {
        for (const char* toq : toqs) {
            char req[128];
            snprintf(req, sizeof req, "cmd=get_value&node=%d&leaf=%d&toq=%s", node, node * 2 - 1, toq);
            ov3_parse(req);
            pm_cmd_get_value(s);
        }
    }
    pm_cmd_get_leaves(s);
    return 0;
}
