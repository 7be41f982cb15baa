// gatex2d's own request table on an arbitrary byte stream from the client: the
// node texts ("host:port"), leaf, toq and timeout parameters, and raw
// "!!host:port/data" lines, against a network where a gateway never connects
// (the answers themselves are fuzzed elsewhere). Host texts longer than a
// record's field, ports that are not numbers and a table that fills up must all
// end in a whole answer line with the table's bounds kept (ASan).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ov3.h"
#include "reqloop.h"
#include "streamconn.h"
#include "utnode.h"

namespace {

class NoGateway : public UtLink {
public:
    int open(const char*, int, int, bool) override { return -1; }
    void close(int, bool) override {}
    bool send(int, const void*, size_t) override { return false; }
    int read(int, void*, int, int) override { return -1; }
    void lock() override {}
    void unlock() override {}
};

const drv::Dialect kDialect = {
    "gatex2d", "x", ut_commands, ut_ncommands, ut_raw, nullptr, nullptr,
};
constexpr int kMaxNodes = 3;
time_t fixedClock() { return 1700000000; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<char> segment(ut_segment_size(kMaxNodes));
    static NoGateway link;
    static bool once = [] {
        ov3_init(0);
        return true;
    }();
    (void)once;
    ut_table_attach(segment.data(), kMaxNodes, true);
    ut_link = &link;
    ut_clock = fixedClock;
    StreamConn conn(data, size);
    drv::serve(conn, kDialect);
    if (ut_table.head->count < 0 || ut_table.head->count > kMaxNodes) abort();
    if (ut_table.leaves[ut_table.leavesCap - 1] != '\0') abort();
    const std::string& out = conn.out();
    if (!out.empty() && out.back() != '\n') abort();
    return 0;
}
