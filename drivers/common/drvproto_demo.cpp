// drvproto-demo: the driver request loop on standard input and output, with the
// commands every driver daemon answers (hello, kill, hup, version). Shows the
// protocol's line handling, prefix matching and meta lines without a field network.
#include <cstdio>
#include <iterator>

#include "reqloop.h"

namespace {
class StdioConn : public drv::Conn {
public:
    int getLine(char* buf, int cap) override { return fgets(buf, cap, stdin) ? (int)__builtin_strlen(buf) : 0; }
    void write(const char* d, size_t n) override { fwrite(d, 1, n, stdout); }
    void flush() override { fflush(stdout); }
};

const drv::Command kCommands[] = {
    {"he", "hello", drv::cmd_hello},
    {"k", "kill", drv::cmd_kill},
    {"hu", "hup", drv::cmd_hup},
    {"v", "version", drv::cmd_version},
};
}  // namespace

int main() {
    const drv::Dialect d = {"drvproto-demo", "0 (protocol core only)", kCommands, std::size(kCommands),
                            nullptr, nullptr, nullptr};
    StdioConn c;
    drv::serve(c, d);
    return 0;
}
