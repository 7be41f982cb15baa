// gatex1d-bench: requests per second and latency percentiles of one request line
// over C concurrent connections of a driver request protocol server.
//   gatex1d-bench load PORT CONNS SECONDS LINE    -> "rps p50_us p99_us n"
//   gatex1d-bench ref PORT ANSWER                 a reference server: one process per
//     connection, one fixed answer line per request line; the cost floor of the
//     same connection model (loopback TCP, fork, line in, line out).
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

int connectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr*)&a, sizeof a) < 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    struct timeval tv = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

// Reads through the next line that does not begin with "!"; false on error.
bool readResponse(int fd, std::string& buf) {
    for (;;) {
        size_t nl;
        while ((nl = buf.find('\n')) != std::string::npos) {
            bool meta = buf[0] == '!';
            buf.erase(0, nl + 1);
            if (!meta) return true;
        }
        char b[4096];
        ssize_t n = read(fd, b, sizeof b);
        if (n <= 0) return false;
        buf.append(b, (size_t)n);
    }
}

int load(int port, int conns, double seconds, std::string line) {
    line += "\n";
    std::mutex mu;
    std::vector<long> all;
    std::atomic<bool> failed{false};
    // All connections are made before the clock starts: a connection the kernel
    // turned away from a full backlog is retried a second or more later, which
    // would count as time of the server's answers.
    std::vector<int> fds;
    for (int i = 0; i < conns; i++) {
        int fd = connectTo(port);
        if (fd < 0) {
            fprintf(stderr, "gatex1d-bench: connect: %s\n", strerror(errno));
            for (int f : fds) close(f);
            return 1;
        }
        fds.push_back(fd);
    }
    // One untimed request on each, so that every connection has been accepted
    // and has its server process before the clock starts.
    for (int fd : fds) {
        std::string buf;
        if (write(fd, line.data(), line.size()) != (ssize_t)line.size() || !readResponse(fd, buf)) {
            fprintf(stderr, "gatex1d-bench: no answer to the first request\n");
            for (int f : fds) close(f);
            return 1;
        }
    }
    auto t0 = Clock::now();
    auto end = t0 + std::chrono::duration<double>(seconds);
    std::vector<std::thread> ts;
    for (int i = 0; i < conns; i++) {
        ts.emplace_back([&, fd = fds[(size_t)i]] {
            std::vector<long> mine;
            std::string buf;
            while (Clock::now() < end) {
                auto t0 = Clock::now();
                if (write(fd, line.data(), line.size()) != (ssize_t)line.size() || !readResponse(fd, buf)) {
                    failed = true;
                    break;
                }
                mine.push_back((long)std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count());
            }
            close(fd);
            std::lock_guard<std::mutex> g(mu);
            all.insert(all.end(), mine.begin(), mine.end());
        });
    }
    for (auto& t : ts) t.join();
    double el = std::chrono::duration<double>(Clock::now() - t0).count();
    if (all.empty()) {
        fprintf(stderr, "gatex1d-bench: no answers\n");
        return 1;
    }
    std::sort(all.begin(), all.end());
    auto pct = [&](double p) { return all[std::min(all.size() - 1, (size_t)(p * (double)all.size()))]; };
    printf("%.0f %ld %ld %zu\n", (double)all.size() / el, pct(0.50), pct(0.99), all.size());
    return failed ? 1 : 0;
}

int ref(int port, std::string answer) {
    answer += "\n";
    signal(SIGCHLD, SIG_IGN);
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, (struct sockaddr*)&a, sizeof a) < 0 || listen(s, 5) < 0) {
        perror("ref");
        return 1;
    }
    for (;;) {
        int c = accept(s, nullptr, nullptr);
        if (c < 0) continue;
        if (fork() == 0) {
            close(s);
            std::string buf;
            char b[4096];
            ssize_t n;
            while ((n = read(c, b, sizeof b)) > 0) {
                buf.append(b, (size_t)n);
                size_t nl;
                while ((nl = buf.find('\n')) != std::string::npos) {
                    buf.erase(0, nl + 1);
                    if (write(c, answer.data(), answer.size()) < 0) _exit(0);
                }
            }
            _exit(0);
        }
        close(c);
    }
}
}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && strcmp(argv[1], "load") == 0)
        return load(atoi(argv[2]), atoi(argv[3]), atof(argv[4]), argv[5]);
    if (argc == 4 && strcmp(argv[1], "ref") == 0) return ref(atoi(argv[2]), argv[3]);
    fprintf(stderr, "usage: gatex1d-bench load PORT CONNS SECONDS LINE | ref PORT ANSWER\n");
    return 2;
}
