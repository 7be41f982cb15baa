// The request loop on an arbitrary byte stream: line pieces, meta lines, prefix
// matching and answer formatting.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ov3.h"
#include "reqloop.h"

namespace {
class BufConn : public drv::Conn {
public:
    BufConn(const uint8_t* d, size_t n) : d_(d), n_(n) {}
    int getLine(char* buf, int cap) override {
        int k = 0;
        while (k < cap - 1 && pos_ < n_) {
            char c = (char)d_[pos_++];
            buf[k++] = c;
            if (c == '\n') break;
        }
        buf[k] = '\0';
        return k;
    }
    void write(const char* d, size_t n) override { out_ += n; (void)d; }
    void flush() override {}

private:
    const uint8_t* d_;
    size_t n_, pos_ = 0;
    size_t out_ = 0;
};

void value_cmd(drv::Session& s) {
    const char* v = ov3_value("node");
    s.trace("!node %s\n", v ? v : "");
    s.conn.out("?cmd=%s&status=OK&val=%s\n", s.command->name, v ? v : "");
}
void raw(drv::Session& s, char* meta) { s.conn.out("!%s. OK, send %s to node-network.\n", meta, meta + 1); }

const drv::Command kTable[] = {
    {"he", "hello", drv::cmd_hello}, {"k", "kill", drv::cmd_kill}, {"hu", "hup", drv::cmd_hup},
    {"v", "version", drv::cmd_version}, {"get_l", "get_leaves", value_cmd}, {"get_v", "get_value", value_cmd},
};
const drv::Dialect kDialect = {"fuzzd", "0", kTable, sizeof kTable / sizeof kTable[0], raw, nullptr, nullptr};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    BufConn c(data, size);
    drv::serve(c, kDialect);
    return 0;
}
