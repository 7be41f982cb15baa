// The request loop on an arbitrary byte stream: line pieces, meta lines, prefix
// matching and answer formatting.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ov3.h"
#include "reqloop.h"
#include "streamconn.h"

namespace {
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
    StreamConn c(data, size);
    drv::serve(c, kDialect);
    return 0;
}
