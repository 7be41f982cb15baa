// gatex2d in the appliance rig: the real daemon (daemonised, real syslog, System V
// segment and lock) against nodegw, whose registers mbpoll reads too. Every process
// started here is ended by its PID.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "rig.h"

namespace {
#define NEED_RIG() \
    if (!rig::inRig()) GTEST_SKIP() << "needs the appliance rig (tests/rig/rig)"

constexpr int kT = 5000;

class Gatex2d : public ::testing::Test {
protected:
    rig::Syslog log;
    rig::Syslog::Mark mark = 0;
    std::vector<std::unique_ptr<rig::Process>> sims;
    std::string conf;

    void SetUp() override {
        if (!rig::inRig()) return;
        mark = log.mark();
        conf = rig::scratchDir() + "/gatex2d.conf";
    }
    void TearDown() override {
        if (!rig::inRig()) return;
        for (pid_t p : rig::pidsOf("gatex2d")) rig::endPid(p, 2000);
        for (auto& s : sims) s->stop();
    }
    // Starts a simulator; returns its port.
    int startSim(std::vector<std::string> args) {
        std::string pf = rig::scratchDir() + "/sim" + std::to_string(sims.size()) + ".port";
        unlink(pf.c_str());
        args.insert(args.begin(), {rig::binDir() + "/nodegw", "--port-file", pf});
        sims.push_back(std::make_unique<rig::Process>(args));
        std::string s;
        if (rig::waitUntil([&] { return !(s = rig::readFile(pf)).empty(); }, kT, 20)) return atoi(s.c_str());
        ADD_FAILURE() << "simulator printed no port";
        return -1;
    }
    void startDaemon(const std::string& text) {
        rig::writeFile(conf, text);
        rig::Process p({rig::binDir() + "/gatex2d", conf});
        auto e = p.waitExit(30000);
        ASSERT_TRUE(e && e->exited && e->code == 0);
        ASSERT_TRUE(rig::waitPort(1112, 30000));
    }
    std::string ask(rig::ProtoClient& c, const std::string& line) {
        return c.request(line + "\n", kT).value_or("(no answer)");
    }
    std::string ask(const std::string& line) {
        rig::ProtoClient c;
        if (!c.connect("127.0.0.1", 1112, kT)) return "(no connection)";
        return ask(c, line);
    }
    // mbpoll's reading of count registers from first (0-based) as floats or hex.
    std::string mbpoll(int port, int first, int count, bool floats) {
        std::string out = rig::scratchDir() + "/mbpoll.out";
        rig::Process::Options o;
        o.stdoutPath = out;
        rig::Process p({ORV_MBPOLL, "-m", "tcp", "-a", "1", "-p", std::to_string(port), "-t",
                        floats ? "4:float" : "4:hex", "-B", "-0", "-1", "-r", std::to_string(first), "-c",
                        std::to_string(count), "127.0.0.1"},
                       o);
        p.waitExit(kT);
        return rig::readFile(out);
    }
};

TEST_F(Gatex2d, RescanLeavesAndEveryToqAgainstMbpoll) {
    NEED_RIG();
    int port = startSim({"--age", "60", "--value", "2:10=230.5", "--value", "1:8=0.5"});
    ASSERT_GT(port, 0);
    // Shipped form of the file: CR LF, sections; no port key runs on 1112.
    ASSERT_NO_FATAL_FAILURE(startDaemon("[GENERAL]\r\n\r\n[uMARLO]\r\nmaxnodes=16\r\n"));
    EXPECT_TRUE(log.waitFor("gatex2d[", kT, mark));
    EXPECT_EQ(log.count("port=1112", mark), 1);

    std::string gw = "127.0.0.1:" + std::to_string(port);
    rig::ProtoClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", 1112, kT));
    EXPECT_EQ(ask(c, "?cmd=get_leaves"), "?cmd=get_leaves&status=OK&val=\n");
    EXPECT_EQ(ask(c, "?cmd=rescan&node=" + gw), "?cmd=rescan&status=OK\n");
    // Identity 0001020A0B0C as mbpoll reads it; default types 5, 4, 0, 3, 6.
    EXPECT_NE(mbpoll(port, 3013, 3, false).find("[3015]: \t0x0B0C"), std::string::npos);
    std::string want = "?cmd=get_leaves&status=OK&val=";
    const char* kinds[] = {"D0_1", "D1_1", "D2_1", "D3_1", "D4_1", "D5_1", "D4_2", "D5_2", nullptr,
                           "D0_1", "D1_1", "D2_1", "D3_1", "D4_1", "D5_1", nullptr, "D4_1", nullptr,
                           "D6_1", "D6_2", nullptr, "D8_1", "D8_2", nullptr};
    int ch = 0;
    for (const char* k : kinds) {
        if (!k) {
            ch++;
            continue;
        }
        char n[64];
        snprintf(n, sizeof n, "0A0B0C%08dD%c_%c:", 20 * ch + 1, k[1], k[3]);
        want += n + gw + ",";
    }
    want.back() = '\n';
    EXPECT_EQ(ask(c, "?cmd=get_leaves"), want);

    // Every toq of block 2 against mbpoll's floats of registers 20..37.
    std::string floats = mbpoll(port, 20, 18, true);
    struct {
        const char* toq;
        int reg;
        double scale;
    } toqs[] = {{"D4_1", 30, 1}, {"D0_1", 22, 1}, {"D1_1", 24, 1}, {"D2_1", 26, 1}, {"D3_1", 28, 100},
                {"D5_1", 32, 1}, {"D4_2", 34, 1}, {"D5_2", 36, 1}, {"D6_1", 22, 1}, {"D6_2", 24, 1},
                {"D8_1", 22, 1}, {"D8_2", 24, 1}};
    for (auto& t : toqs) {
        std::string key = "[" + std::to_string(t.reg) + "]: \t";
        size_t at = floats.find(key);
        ASSERT_NE(at, std::string::npos) << floats;
        double v = atof(floats.c_str() + at + key.size()) * t.scale;
        time_t before = time(nullptr);
        std::string a = ask(c, "?cmd=get_value&node=" + gw + "&leaf=0A0B0C00000021D4_1:" + gw + "&toq=" + t.toq);
        time_t after = time(nullptr);
        char val[64];
        snprintf(val, sizeof val, "?cmd=get_value&status=OK&val=%f&time=", v);
        ASSERT_EQ(a.rfind(val, 0), 0u) << t.toq << " " << a;
        // The measuring time is one minute (the age register) before now.
        struct tm tm {};
        ASSERT_TRUE(strptime(a.c_str() + strlen(val), "%Y-%m-%d_%H:%M:%S", &tm)) << a;
        time_t m = timegm(&tm);  // the rig runs in UTC
        EXPECT_TRUE(m >= before - 60 && m <= after - 60) << a;
    }
    EXPECT_EQ(ask(c, "?cmd=get_value&node=" + gw + "&toq=D4_1").substr(0, 40),
              "?cmd=get_value&status=OK&val=110.500000&");
}

// The connection process of a client that stops reading blocks in its write;
// it must not hold the field-network lock there, or every other gateway request
// waits for that client. The client sends its requests without end (verbose
// rescans, each with 130 trace lines, and readings) on a connection whose
// receive buffer is small, and never reads; once its process is blocked in the
// write, another client's readings and rescans are still answered.
TEST_F(Gatex2d, AClientThatStopsReadingHoldsNoLock) {
    NEED_RIG();
    int port = startSim({});
    ASSERT_GT(port, 0);
    ASSERT_NO_FATAL_FAILURE(startDaemon("port=1112\nmaxnodes=4\n"));
    std::string gw = "127.0.0.1:" + std::to_string(port);
    // The rig's own network namespace: its sockets' send buffers may not grow past
    // 16 KiB. Otherwise the kernel lets the process's send buffer grow to megabytes,
    // and at one gateway exchange per reading it can take longer than the wait
    // below to fill (on a loaded machine), though the process does block in the end.
    // (A kernel setting is written in place: rig::writeFile's chmod is refused there.)
    struct Setting {
        std::string path, old;
        bool set(const std::string& value) const {
            int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
            bool ok = fd >= 0 && write(fd, value.data(), value.size()) == (ssize_t)value.size();
            if (fd >= 0) close(fd);
            return ok;
        }
        ~Setting() { set(old); }
    } restore{"/proc/sys/net/ipv4/tcp_wmem", rig::readFile("/proc/sys/net/ipv4/tcp_wmem")};
    ASSERT_FALSE(restore.old.empty());
    ASSERT_TRUE(restore.set("4096 16384 16384\n")) << strerror(errno);
    struct Case {
        const char* what;
        std::string first, each;
    } cases[] = {
        {"verbose rescans", "!v\r\n", "?cmd=rescan&node=" + gw + "\n"},
        {"verbose readings", "!v\r\n", "?cmd=get_value&node=" + gw + "&leaf=XXXXXX00000001&toq=D4_1\n"},
    };
    pid_t mainPid = rig::pidsOf("gatex2d").at(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // The previous case's client has gone, and so has its process.
        ASSERT_TRUE(rig::waitUntil([&] { return rig::pidsOf("gatex2d").size() == 1; }, kT));
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        int small = 2048;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(1112);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, (struct sockaddr*)&a, sizeof a), 0);
        std::atomic<bool> writing{true};
        std::thread writer([&] {
            std::string text = c.first;
            while (writing && send(fd, text.data(), text.size(), MSG_NOSIGNAL) >= 0) text = c.each;
        });
        struct Stop {
            int fd;
            std::atomic<bool>& w;
            std::thread& t;
            ~Stop() {
                w = false;
                shutdown(fd, SHUT_RDWR);  // ends a blocked send
                if (t.joinable()) t.join();
                // A reset: the process's next write fails at once.
                struct linger l = {1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                close(fd);
            }
        } stop{fd, writing, writer};
        // Its connection process, blocked in the write of its answers.
        auto inWrite = [&] {
            for (pid_t p : rig::pidsOf("gatex2d")) {
                if (p == mainPid) continue;
                std::string sc = rig::readFile("/proc/" + std::to_string(p) + "/syscall");
                if (!sc.empty() && std::atol(sc.c_str()) == SYS_write) return true;
            }
            return false;
        };
        ASSERT_TRUE(rig::waitUntil(inWrite, 20000)) << "the client's process never blocked in its write" << [&] {
            std::string t;
            for (pid_t p : rig::pidsOf("gatex2d"))
                t += " " + std::to_string(p) + ":" + rig::readFile("/proc/" + std::to_string(p) + "/syscall");
            return t + rig::readFile(log.path());
        }();
        EXPECT_EQ(ask("?cmd=get_value&node=" + gw + "&leaf=XXXXXX00000001&toq=D4_1&timeout=1000")
                      .rfind("?cmd=get_value&status=OK&val=", 0),
                  0u);
        EXPECT_EQ(ask("?cmd=rescan&node=" + gw), "?cmd=rescan&status=OK\n");
        EXPECT_TRUE(inWrite()) << "still blocked: the answers above did not wait for it";
    }
    // Once the client has gone, its process serves none of the requests it still
    // had buffered: it ends, and only the main process is left.
    EXPECT_TRUE(rig::waitUntil([&] { return rig::pidsOf("gatex2d").size() == 1; }, kT));
}

TEST_F(Gatex2d, ErrorWordsTracesPassThroughRestartAndKill) {
    NEED_RIG();
    int a = startSim({"--raw", "block=3:exception=2", "--raw", "block=4:silence", "--raw", "block=5:short=12"});
    int b = startSim({});
    ASSERT_GT(b, 0);
    ASSERT_NO_FATAL_FAILURE(startDaemon("port=1112\nmaxnodes=2\n"));
    std::string ga = "127.0.0.1:" + std::to_string(a), gb = "127.0.0.1:" + std::to_string(b);
    struct {
        std::string q, want;
    } rows[] = {
        {"?cmd=get_value&node=" + ga + "&leaf=XXXXXX00000041&toq=D4_1", "?cmd=get_value&status=ENODEERR&val=02\n"},
        {"?cmd=get_value&node=" + ga + "&leaf=XXXXXX00000061&toq=D4_1&timeout=200",
         "?cmd=get_value&status=EINVALNODERES\n"},
        {"?cmd=get_value&node=" + ga + "&leaf=XXXXXX00000081&toq=D4_1", "?cmd=get_value&status=EINVALNODERES\n"},
        {"?cmd=get_value&node=" + ga + "&toq=XY", "?cmd=get_value&status=EINVALTOQ&val=XY\n"},
        {"?cmd=get_value&node=127.0.0.1:1&toq=D4_1", "?cmd=get_value&status=ENONODE&val=127.0.0.1:1\n"},
        {"?cmd=get_value&node=nohost.invalid:502&toq=D4_1", "?cmd=get_value&status=ENONODE&val=nohost.invalid:502\n"},
        {"?cmd=get_value&node=nohost.invalid:502&toq=D4_1", "?cmd=get_value&status=ENONODE&val=nohost.invalid:502\n"},
        {"?cmd=get_value&node=gw1&toq=D4_1", "?cmd=get_value&status=EINVALNODE&val=gw1\n"},
        {"?cmd=get_value&node=" + ga + "&leaf=short", "?cmd=get_value&status=EINVALLEAF&val=0\n"},
        {"?cmd=get_value&node=" + ga + "&leaf=XXXXXX-21", "?cmd=get_value&status=EINVALLEAF&val=0\n"},
        {"?cmd=rescan&node=gw1:0", "?cmd=rescan&status=E_DUMMY_SCAN_NOT_IMPLEMENTED_YET\n"},
        {"?cmd=rescan", "?cmd=rescan&status=EINVALNODE&val=\n"},
        {"?cmd=rescan&node=127.0.0.1:1", "?cmd=rescan&status=ENONODE\n"},
        {"?cmd=rescan&node=" + ga, "?cmd=rescan&status=OK\n"},
        {"?cmd=get_leaves_ex", ""},
        {"?cmd=get_ifs", "?cmd=get_ifs&status=EINVALCMD\n"},
        {"?cmd=version", "?cmd=version&status=OK&val=2.5 (Jan 18 2012 10:46:12)\n"},
    };
    for (auto& r : rows) {
        std::string got = ask(r.q);
        if (r.want.empty())
            EXPECT_EQ(got.rfind("?cmd=get_leaves&status=OK&val=0A0B0C", 0), 0u) << got;
        else
            EXPECT_EQ(got, r.want) << r.q;
    }
    EXPECT_TRUE(log.waitFor("failed to find host: nohost.invalid", kT, mark, 2));
    EXPECT_EQ(log.count("failed to connect host: 127.0.0.1, port 1", mark), 2);
    // maxnodes counts across connections.
    EXPECT_EQ(ask("?cmd=rescan&node=" + gb), "?cmd=rescan&status=OK\n");
    EXPECT_EQ(ask("?cmd=rescan&node=localhost:" + std::to_string(b)), "?cmd=rescan&status=EMAXNODES\n");
    EXPECT_EQ(ask("?cmd=get_value&node=x:0&toq=ipc").rfind("?cmd=get_value&status=OK&val=", 0), 0u);

    // Verbose rescan: 65 requests, each shown before it is sent.
    rig::ProtoClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", 1112, kT));
    ASSERT_TRUE(c.sendLine("!v\r\n"));
    EXPECT_EQ(c.readLine(kT).value_or(""), "!v. OK, verbose-mode on.\n");
    EXPECT_EQ(ask(c, "?cmd=rescan&node=" + gb), "?cmd=rescan&status=OK\n");
    int sends = 0;
    for (auto& l : c.skipped()) sends += l.rfind("!send '", 0) == 0;
    EXPECT_EQ(sends, 65);
    EXPECT_EQ(c.skipped()[0], "!send '00000000000600030bc50003' to host.\n");
    EXPECT_EQ(c.skipped()[2], "!OK\n");
    // The pass-through of the identity request.
    ASSERT_TRUE(c.sendLine("!!" + gb + "/\\x00\\x00\\x00\\x00\\x00\\x06\\x00\\x03\\x0b\\xc5\\x00\\x03\r\n"));
    EXPECT_NE(c.readLine(kT).value_or("").find(". OK, send '"), std::string::npos);
    EXPECT_EQ(c.readLine(kT).value_or(""), "!'\\x00\\x00\\x00\\x00\\x00\\t\\x00\\x03\\x06\\x00\\x01\\x02\\n\\x0b\\x0c' "
                                           "is received from host '127.0.0.1', port " + std::to_string(b) + ".\n");
    ASSERT_TRUE(c.sendLine("!!gw1/abc\r\n"));
    EXPECT_EQ(c.readLine(kT).value_or(""), "! should be used like '!<host>:<port>/<string>' form.\n");

    // hup: a new main process and a new, empty segment of the same size.
    int id = shmget(1112, 0, 0);
    ASSERT_GE(id, 0);
    struct shmid_ds ds;
    ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, 8u + 2 * (756 + 65536));
    auto before = rig::pidsOf("gatex2d");
    EXPECT_EQ(ask("?cmd=hup"), "?cmd=hup&status=OK\n");
    EXPECT_TRUE(log.waitFor("port=1112", kT, mark, 2));
    ASSERT_TRUE(rig::waitPort(1112, kT));
    EXPECT_TRUE(rig::waitUntil([&] { int now = shmget(1112, 0, 0); return now >= 0 && now != id; }, kT));
    EXPECT_EQ(ask("?cmd=get_leaves"), "?cmd=get_leaves&status=OK&val=\n");
    EXPECT_NE(rig::pidsOf("gatex2d"), before);
    EXPECT_EQ(ask("?cmd=kill"), "?cmd=kill&status=OK\n");
    EXPECT_TRUE(log.waitFor("exited.", kT, mark));
    EXPECT_TRUE(rig::waitUntil([] { return shmget(1112, 0, 0) < 0; }, kT));
}
}  // namespace
