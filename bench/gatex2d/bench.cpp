// gatex2d-bench: the cost of gatex2d's get_value and rescan against a plain
// libmodbus client doing the same Modbus work on the same gateway simulator.
//   gatex2d-bench value DRVPORT GWPORT BLOCK N ROUNDS
//       ROUNDS rounds, each N get_value requests through gatex2d (one request
//       connection kept open; gatex2d opens a gateway connection per request) and N
//       direct reads of the same 18-register block (connect, read, close, as gatex2d
//       does). Prints "value OURS_P50_US PEER_P50_US OURS_P99_US PEER_P99_US N".
//   gatex2d-bench rescan DRVPORT GWPORT N
//       N rescans of the gateway through gatex2d and N direct scans (identity and the
//       64 channel reads over one connection). Prints "rescan OURS_P50_MS PEER_P50_MS N".
// Every answer is checked: gatex2d's value must be the float the direct read found.
#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

double since_us(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

double pct(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(p * (double)v.size()))];
}

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
    fprintf(stderr, "gatex2d-bench: %s %s\n", what, detail.c_str());
    exit(1);
}

// One request connection to the driver.
class Driver {
public:
    explicit Driver(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, (sockaddr*)&a, sizeof a) < 0) fail("cannot connect to gatex2d");
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval tv = {10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~Driver() { close(fd_); }
    // Sends one request line and returns its answer line (trace lines skipped).
    std::string ask(const std::string& line) {
        if (write(fd_, line.data(), line.size()) != (ssize_t)line.size()) fail("write to gatex2d failed");
        for (;;) {
            size_t nl;
            while ((nl = buf_.find('\n')) != std::string::npos) {
                std::string l = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                if (l.empty() || l[0] != '!') return l;
            }
            char b[4096];
            ssize_t n = read(fd_, b, sizeof b);
            if (n <= 0) fail("no answer from gatex2d");
            buf_.append(b, (size_t)n);
        }
    }

private:
    int fd_;
    std::string buf_;
};

modbus_t* gw_connect(int port) {
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    if (!ctx) fail("modbus_new_tcp failed");
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 5, 0);
    if (modbus_connect(ctx) < 0) fail("modbus_connect:", modbus_strerror(errno));
    return ctx;
}
void gw_read(modbus_t* ctx, int first, int count, uint16_t* regs) {
    if (modbus_read_registers(ctx, first, count, regs) != count) fail("read registers:", modbus_strerror(errno));
}
void gw_close(modbus_t* ctx) {
    modbus_close(ctx);
    modbus_free(ctx);
}

int value(int drvPort, int gwPort, int block, int n, int rounds) {
    char leaf[64];
    snprintf(leaf, sizeof leaf, "0A0B0C%08dD4_1:127.0.0.1:%d", 20 * (block - 1) + 1, gwPort);
    std::string line = "?cmd=get_value&node=127.0.0.1:" + std::to_string(gwPort) + "&leaf=" + leaf + "&toq=D4_1\n";
    Driver drv(drvPort);
    std::vector<double> ours, peer;
    std::string expect;
    for (int r = 0; r <= rounds; r++) {  // round 0 only warms up
        for (int i = 0; i < n; i++) {
            auto t0 = Clock::now();
            std::string a = drv.ask(line);
            double us = since_us(t0);
            if (a.rfind("?cmd=get_value&status=OK&val=", 0) != 0) fail("get_value answered", a);
            if (!expect.empty() && a.find("&val=" + expect + "&") == std::string::npos) fail("wrong value", a);
            if (r > 0) ours.push_back(us);
        }
        for (int i = 0; i < n; i++) {
            uint16_t regs[18];
            auto t0 = Clock::now();
            modbus_t* ctx = gw_connect(gwPort);
            gw_read(ctx, 20 * (block - 1), 18, regs);
            gw_close(ctx);
            double us = since_us(t0);
            if (r > 0) peer.push_back(us);
            if (expect.empty()) {
                char v[64];
                snprintf(v, sizeof v, "%f", modbus_get_float_abcd(regs + 10));
                expect = v;
            }
        }
    }
    printf("value %.1f %.1f %.1f %.1f %zu\n", pct(ours, 0.5), pct(peer, 0.5), pct(ours, 0.99), pct(peer, 0.99),
           ours.size());
    return 0;
}

int rescan(int drvPort, int gwPort, int n) {
    std::string line = "?cmd=rescan&node=127.0.0.1:" + std::to_string(gwPort) + "\n";
    Driver drv(drvPort);
    std::vector<double> ours, peer;
    for (int r = 0; r <= n; r++) {  // the first of each only warms up
        auto t0 = Clock::now();
        std::string a = drv.ask(line);
        double us = since_us(t0);
        if (a != "?cmd=rescan&status=OK") fail("rescan answered", a);
        if (r > 0) ours.push_back(us / 1000);

        uint16_t regs[5];
        t0 = Clock::now();
        modbus_t* ctx = gw_connect(gwPort);
        gw_read(ctx, 3013, 3, regs);
        for (int j = 0; j < 64; j++) gw_read(ctx, 2000 + 10 * j, 5, regs);
        gw_close(ctx);
        us = since_us(t0);
        if (r > 0) peer.push_back(us / 1000);
    }
    std::string leaves = drv.ask("?cmd=get_leaves\n");
    if (leaves.find("0A0B0C00000001D0_1:127.0.0.1:" + std::to_string(gwPort)) == std::string::npos)
        fail("the rescan listed no leaves:", leaves);
    printf("rescan %.3f %.3f %zu\n", pct(ours, 0.5), pct(peer, 0.5), ours.size());
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc == 7 && strcmp(argv[1], "value") == 0)
        return value(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]), atoi(argv[6]));
    if (argc == 5 && strcmp(argv[1], "rescan") == 0) return rescan(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]));
    fprintf(stderr,
            "usage: gatex2d-bench value DRVPORT GWPORT BLOCK N ROUNDS | rescan DRVPORT GWPORT N\n");
    return 2;
}
