// Self-test of the request-protocol client the rig tests share with drvq
// (rig::ProtoClient = drvq::ProtoClient) against a tiny line server in this test:
// exact bytes sent, lines split over TCP segments, "!" lines skipped, end of
// stream, time-outs, and why a single connect failed (what drvq reports).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <poll.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "rig.h"

namespace {

// Accepts one connection on 127.0.0.1 and runs script(fd) on it in a thread.
class OneShotServer {
public:
    explicit OneShotServer(std::function<void(int)> script, int port = 0)
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 1) != 0)
            return;
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, script] {
            // A client may connect, send and close before we get here: its connection
            // waits in the backlog and is still served.
            int fd = -1;
            rig::waitUntil([&] {
                pollfd p{listener_, POLLIN, 0};
                if (poll(&p, 1, 50) == 1)
                    fd = accept(listener_, nullptr, nullptr);
                return fd >= 0 || stop_;
            }, 10000, 0);
            if (fd < 0)
                return;
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            script(fd);
            close(fd);
        });
    }
    ~OneShotServer()
    {
        stop_ = true;  // gives up waiting if no client came
        if (thread_.joinable())
            thread_.join();
        close(listener_);
    }
    int port() const { return port_; }

private:
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void sendAll(int fd, const std::string& s) { (void)!write(fd, s.data(), s.size()); }
void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Reads until n bytes or the peer stops sending for a while.
std::string readN(int fd, size_t n)
{
    std::string got;
    char buf[256];
    while (got.size() < n) {
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (r <= 0)
            break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

// A loopback port nobody listens on any more (it was ours a moment ago).
int closedPort()
{
    OneShotServer probe([](int) {});
    return probe.port();
}

#define NEED_RIG() \
    if (!rig::inRig()) GTEST_SKIP() << "needs the appliance rig (private loopback)"

TEST(ProtoClient, ReadsLinesAsSentWhateverTheSegments)
{
    NEED_RIG();
    struct Case {
        const char* name;
        std::vector<std::string> segments;  // each sent alone, with a pause between
        std::vector<std::string> lines;     // what readLine returns, in order
    } cases[] = {
        {"one segment", {"OK one\r\n"}, {"OK one\r\n"}},
        {"split in three", {"OK sp", "lit li", "ne\r\n"}, {"OK split line\r\n"}},
        {"split inside CR LF", {"OK a\r", "\n"}, {"OK a\r\n"}},
        {"two in one", {"first\r\nsecond\n"}, {"first\r\n", "second\n"}},
        {"byte by byte", {"a", "b", "\r", "\n"}, {"ab\r\n"}},
        {"empty lines", {"\n\r\n"}, {"\n", "\r\n"}},
    };
    for (auto& c : cases) {
        OneShotServer srv([&](int fd) {
            for (auto& s : c.segments) {
                sendAll(fd, s);
                pause(30);
            }
            pause(100);
        });
        rig::ProtoClient cl;
        ASSERT_TRUE(cl.connect("127.0.0.1", srv.port(), 2000)) << c.name;
        for (auto& want : c.lines) {
            auto got = cl.readLine(3000);
            ASSERT_TRUE(got) << c.name;
            EXPECT_EQ(*got, want) << c.name;
        }
        EXPECT_EQ(cl.pending(), "") << c.name;
    }
}

TEST(ProtoClient, ResponseSkipsMetaLines)
{
    NEED_RIG();
    OneShotServer srv([](int fd) {
        readN(fd, 13);
        sendAll(fd, "!trace one\r\n!tr");
        pause(30);
        sendAll(fd, "ace two\r\n?cmd=hello OK\r\n");
        readN(fd, 4);
        sendAll(fd, "second\r\n");
        pause(100);
    });
    rig::ProtoClient cl;
    ASSERT_TRUE(cl.connect("127.0.0.1", srv.port(), 2000));
    auto r = cl.request("?cmd=hello\r\n\n", 3000);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, "?cmd=hello OK\r\n");
    std::vector<std::string> meta = {"!trace one\r\n", "!trace two\r\n"};
    EXPECT_EQ(cl.skipped(), meta);
    r = cl.request("next", 3000);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, "second\r\n");
}

TEST(ProtoClient, SendsExactlyTheGivenBytes)
{
    NEED_RIG();
    std::string got;
    {
        OneShotServer srv([&](int fd) { got = readN(fd, 12); });
        rig::ProtoClient cl;
        ASSERT_TRUE(cl.connect("localhost", srv.port(), 2000));
        ASSERT_TRUE(cl.sendLine("abc"));
        ASSERT_TRUE(cl.sendLine(std::string("d\0e", 3)));
        ASSERT_TRUE(cl.sendLine("\xff\r\nxyz"));
    }
    EXPECT_EQ(got, std::string("abcd\0e\xff\r\nxyz", 12));
}

TEST(ProtoClient, EndOfStreamAndTimeOut)
{
    NEED_RIG();
    {
        OneShotServer srv([](int fd) { sendAll(fd, "bye\r\nlast piece"); });
        rig::ProtoClient cl;
        ASSERT_TRUE(cl.connect("127.0.0.1", srv.port(), 2000));
        EXPECT_EQ(cl.readLine(3000).value_or("-"), "bye\r\n");
        EXPECT_EQ(cl.readLine(3000).value_or("-"), "last piece");  // no line end before EOF
        EXPECT_FALSE(cl.readLine(3000));
        EXPECT_TRUE(cl.eof());
        EXPECT_FALSE(cl.timedOut());
        EXPECT_TRUE(cl.closed());
        EXPECT_FALSE(cl.readResponse(100));
    }
    {
        std::promise<void> done;
        auto doneF = done.get_future();
        OneShotServer srv([&](int fd) {
            sendAll(fd, "partial");
            doneF.wait_for(std::chrono::seconds(5));
            sendAll(fd, " rest\n");
        });
        rig::ProtoClient cl;
        ASSERT_TRUE(cl.connect("127.0.0.1", srv.port(), 2000));
        EXPECT_FALSE(cl.readLine(150));
        EXPECT_TRUE(cl.timedOut());
        EXPECT_FALSE(cl.eof());
        EXPECT_FALSE(cl.closed(50));
        done.set_value();
        // Nothing was lost by the time-out.
        EXPECT_EQ(cl.readLine(3000).value_or("-"), "partial rest\n");
        EXPECT_TRUE(cl.closed(3000));
    }
}

TEST(ProtoClient, ClosedKeepsDataThatArrivesFirst)
{
    NEED_RIG();
    OneShotServer srv([](int fd) {
        pause(50);
        sendAll(fd, "?cmd=kill OK\r\n");
    });
    rig::ProtoClient cl;
    ASSERT_TRUE(cl.connect("127.0.0.1", srv.port(), 2000));
    EXPECT_TRUE(cl.closed(3000));
    EXPECT_EQ(cl.readResponse(100).value_or("-"), "?cmd=kill OK\r\n");
}

TEST(ProtoClient, ConnectRetriesUntilListenerOrDeadline)
{
    NEED_RIG();
    int port = closedPort();
    rig::ProtoClient cl;
    EXPECT_FALSE(cl.connect("127.0.0.1", port, 300));
    EXPECT_FALSE(cl.connected());
    EXPECT_FALSE(cl.sendLine("x"));

    // A daemon that comes up late is waited for.
    std::unique_ptr<OneShotServer> late;
    std::thread starter([&] {
        pause(300);
        late = std::make_unique<OneShotServer>([](int fd) { sendAll(fd, "hi\n"); }, port);
    });
    bool ok = cl.connect("127.0.0.1", port, 5000);
    starter.join();
    ASSERT_TRUE(ok);
    EXPECT_EQ(cl.readLine(3000).value_or("-"), "hi\n");
}

TEST(ProtoClient, ConnectOnceSaysWhyItFailed)
{
    NEED_RIG();
    int port = closedPort();
    struct Case {
        const char* host;
        const char* errorStart;
    } cases[] = {
        {"127.0.0.1", "Connection refused"},
        {"no-such-host.invalid", "cannot resolve no-such-host.invalid: "},
    };
    for (const Case& c : cases) {
        rig::ProtoClient cl;
        EXPECT_FALSE(cl.connectOnce(c.host, port, 2000)) << c.host;
        EXPECT_EQ(cl.error().rfind(c.errorStart, 0), 0u) << c.host << ": " << cl.error();
        EXPECT_FALSE(cl.connected());
    }
    // A listener that is there: one attempt is enough, and the error is cleared.
    OneShotServer srv([](int fd) { sendAll(fd, "hi\n"); });
    rig::ProtoClient cl;
    ASSERT_TRUE(cl.connectOnce("127.0.0.1", srv.port(), 2000)) << cl.error();
    EXPECT_EQ(cl.error(), "");
    EXPECT_EQ(cl.readLine(3000).value_or("-"), "hi\n");
}

}  // namespace
