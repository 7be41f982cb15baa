// gatex1d's own request table on an arbitrary byte stream from the client: request
// lines, meta lines (verbose on and off, raw "!!" frames) and every parameter the
// meter handlers read, against a line whose meters answer correctly. The other
// fuzz targets vary the answers; this one varies what the client sends, so the
// node, leaf, toq and timeout parsing and the trace escapes see hostile text.
// Every answer line the daemon writes must be a whole line.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ov3.h"
#include "pmmeter.h"
#include "reqloop.h"
#include "streamconn.h"

namespace {

// Meters 1..4 of kind 2 with every circuit: each read frame
// "%SS#RDDfffffLLLLL**\r" is answered with the right number of registers.
class MeterLine : public PmLine {
public:
    std::string pending;
    int open() override { return 3; }
    void close(int) override {}
    bool send(int, const char* frame, size_t len) override {
        pending.clear();
        std::string f(frame, len);
        if (f.size() < 20 || f[0] != '%' || f.compare(3, 4, "#RDD") != 0) return true;
        int st = atoi(f.substr(1, 2).c_str());
        int first = atoi(f.substr(7, 5).c_str()), last = atoi(f.substr(12, 5).c_str());
        if (st < 1 || st > 4 || last < first || last - first > 40) return true;
        char head[8];
        snprintf(head, sizeof head, "%%%02d$RD", st);
        pending = head;
        for (int r = first; r <= last; r++) {
            // 0x03e8 for the identification registers (kind 2), else the register number.
            unsigned v = (r == 126 || r == 128) ? 1000u : (unsigned)r;
            char w[8];
            snprintf(w, sizeof w, "%02X%02X", v & 0xff, (v >> 8) & 0xff);
            pending += w;
        }
        pending += "**\n";
        return true;
    }
    int read(int, char* buf, int size, int) override {
        int n = (int)pending.size() < size - 1 ? (int)pending.size() : size - 1;
        memcpy(buf, pending.data(), (size_t)n);
        buf[n] = '\0';
        pending.clear();
        return n == 0 ? -1 : n;
    }
    bool pause(unsigned) override { return false; }
    bool stopping() override { return false; }
};

const drv::Command kCommands[] = {
    {"he", "hello", drv::cmd_hello},
    {"k", "kill", drv::cmd_kill},
    {"hu", "hup", drv::cmd_hup},
    {"v", "version", drv::cmd_version},
    {"get_leaves_", "get_leaves_ex", pm_cmd_get_leaves_ex},
    {"get_l", "get_leaves", pm_cmd_get_leaves},
    {"r", "rescan", pm_cmd_rescan},
    {"get_v", "get_value", pm_cmd_get_value},
};
const drv::Dialect kDialect = {
    "gatex1d", "x", kCommands, sizeof kCommands / sizeof kCommands[0], pm_raw, nullptr, nullptr,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<PmShared> shared(new PmShared());
    static MeterLine line;
    static bool once = [] {
        ov3_init(0);
        return true;
    }();
    (void)once;
    memset(shared.get(), 0, sizeof(PmShared));
    pm_shared = shared.get();
    pm_line = &line;
    pm_cfg = PmConfig();
    pm_cfg.maxnodes = 5;
    pm_cfg.maxleaves = 31;
    pm_scan(0);
    StreamConn conn(data, size);
    drv::serve(conn, kDialect);
    // Whatever was asked, every answer ends with its line end.
    const std::string& out = conn.out();
    if (!out.empty() && out.back() != '\n') abort();
    return 0;
}
