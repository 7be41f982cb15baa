// The sensor-network driver (ZR1Communicator, serlink, the simulated nodes on a
// pty, started by ZR1.sh) under load and faults in the appliance rig: many
// clients, the transceiver's request queue removed under load, an answer queue
// filled with records nobody asked for, a connection child killed while it
// holds the exchange semaphore.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "load.h"
#include "lockholder.h"
#include "rig.h"
#include "zr1_support.h"
#include "zrmsg.h"

namespace {

constexpr int kPort = 1131;
const std::string kHello = "?cmd=hello&status=OK\r\n";

bool timeShape(const std::string& s) {
    static const std::regex re("&time=[0-9]{4}-[0-9]{2}-[0-9]{2}_[0-9]{2}:[0-9]{2}:[0-9]{2}\r\n");
    return std::regex_match(s, re);
}

// Every exchange of the commander polls the answer queue every 100 ms, one
// exchange at a time: about ten requests a second whatever the load, so the
// sizes here are cut to what that rate serves in reasonable time.
int zrClients() { return reliab::clients(); }
int zrRequests() { return std::max(5, reliab::requests() / 50); }
reliab::LoadOptions slowLine() {
    reliab::LoadOptions o;
    // A client waits for every other client's exchange.
    o.answerMs = 30000 + zrClients() * 200;
    return o;
}

class Zr1Reliab : public ::testing::Test {
protected:
    rig::Process sim;
    std::string framelog, leaves;

    void SetUp() override {
        if (!rig::inRig()) GTEST_SKIP() << "needs the appliance rig (tests/rig/rig)";
        zr1t::endAll();
        framelog = rig::scratchDir() + "/frames.log";
        std::string slave = zr1t::startSensornet(sim, {"5:types=20/20/10"}, framelog);
        ASSERT_NE(slave, "") << sim.error();
        zr1t::install("[SERIAL]\ndevice=" + slave + "\nbaud=19200\ntimeout=200000\n[ZR11ACOMMAND]\nmaxnodes=6\n"
                      "[MSGQUE]\nkey1=1000\nkey2=2000\n");
        ASSERT_TRUE(zr1t::startWithScript("zr1reliab"));
        ASSERT_TRUE(rig::waitPort(kPort, 10000));
        ASSERT_TRUE(rig::waitUntil([&] { return ask("?cmd=hello") == kHello; }, 10000));
        // The boot scan is over when the frame log has been quiet for a second.
        size_t last = 0;
        long long quietSince = rig::nowMs();
        ASSERT_TRUE(rig::waitUntil(
            [&] {
                size_t n = rig::readFile(framelog).size();
                if (n != last) {
                    last = n;
                    quietSince = rig::nowMs();
                }
                return n > 0 && rig::nowMs() - quietSince > 1000;
            },
            30000));
        leaves = ask("?cmd=get_leaves");
        ASSERT_NE(leaves.find("20000005"), std::string::npos) << leaves;
    }
    void TearDown() override {
        if (!rig::inRig()) return;
        zr1t::endAll();
        if (sim.pid() > 0) sim.stop();
    }
    std::string ask(const std::string& req, int ms = 8000) {
        rig::ProtoClient c;
        if (!c.connect("127.0.0.1", kPort, 5000)) return "(no connection)";
        return c.request(req + "\n", ms).value_or("(no answer)");
    }
    // field f of leaf l of node 5 reads 50000 + l*100 + f*10: a crossed answer shows.
    static reliab::Req value(int c) {
        const char* toq = c % 2 ? "C4_1" : "C8_1";
        return {std::string("?cmd=get_value&protocol=C0&node=20000005&leaf=1&toq=") + toq + "\n",
                std::string("?cmd=get_value&status=OK&val=") + (c % 2 ? "00050030" : "00050060"), true, timeShape};
    }
    reliab::Plan mix(bool tolerateTimeouts) {
        return [this, tolerateTimeouts](int c, int i) {
            reliab::Req r;
            if ((c * 7 + i) % 10 == 3) r = value(c);  // a tenth from the line
            else if (i % 2 == 0) r = {"?cmd=hello\n", kHello};
            else r = {"?cmd=get_leaves\n", leaves};
            if (tolerateTimeouts) {
                std::string cmd = r.line.substr(0, r.line.find_first_of("&\n"));
                r.alsoOk = {cmd + "&status=EMSGTIMEOUT\r\n"};
            }
            return r;
        };
    }
};

TEST_F(Zr1Reliab, ManyClients) {
    reliab::LoadStats s = reliab::runLoad(kPort, zrClients(), zrRequests(), mix(false), slowLine());
    reliab::record("ZR1Communicator load " + std::to_string(zrClients()) + "x" + std::to_string(zrRequests()),
                   s.summary());
    EXPECT_EQ(s.answered, (long)zrClients() * zrRequests()) << s.firstBad;
    EXPECT_EQ(s.wrong + s.lost + s.extra + s.connFailed, 0) << s.firstBad;
}

TEST_F(Zr1Reliab, SoakKeepsMemoryAndDescriptorsFlat) {
    // One long-lived connection, every tenth request on a connection of its own;
    // make reliability runs 20,000 (about ten a second: the answer polls).
    long n = reliab::envInt("ORV_RELIAB_SOAK_ZR1", 30);
    pid_t mainPid = reliab::mainProcessOf("ZR1Communicator");
    ASSERT_GT(mainPid, 0);
    reliab::SoakStats s = reliab::runSoak(kPort, mainPid, n, 10, mix(false));
    reliab::record("ZR1Communicator soak " + std::to_string(n), s.summary());
    EXPECT_EQ(s.answered, n) << s.firstBad;
    EXPECT_GT(s.connPid, 0) << "the long-lived connection's process was not found";
    EXPECT_EQ(reliab::soakGrowth(s, 32), "") << "RSS slack 32 KiB (8 pages)";
}

TEST_F(Zr1Reliab, RequestQueueRemovedUnderLoad) {
    long long removedAt = 0;
    reliab::LoadOptions o = slowLine();
    o.faultAt = 0.3;
    o.fault = [&] {
        int q = msgget(1000, 0);
        if (q >= 0 && msgctl(q, IPC_RMID, nullptr) == 0) removedAt = rig::nowMs();
    };
    reliab::LoadStats s = reliab::runLoad(kPort, zrClients(), zrRequests(), mix(true), o);
    ASSERT_GT(removedAt, 0);
    // Once more without load, to see how soon requests reach the transceiver's
    // new queue: it makes it again within its one-second retry.
    rig::ProtoClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", kPort, 5000));
    int q = msgget(1000, 0);
    ASSERT_GE(q, 0);
    ASSERT_EQ(msgctl(q, IPC_RMID, nullptr), 0);
    removedAt = rig::nowMs();
    bool back = rig::waitUntil([&] { return c.request("?cmd=hello\n", 4000).value_or("") == kHello; }, 10000);
    long long resumed = rig::nowMs() - removedAt;
    reliab::record("ZR1Communicator request queue removed under load",
                   s.summary() + "; without load, hello answered again " + std::to_string(resumed) +
                       " ms after the removal");
    EXPECT_TRUE(back);
    EXPECT_EQ(s.wrong + s.lost + s.extra + s.connFailed, 0) << s.firstBad;
    EXPECT_EQ(ask("?cmd=get_leaves"), leaves);
}

TEST_F(Zr1Reliab, AnswerQueueFullOfStrangers) {
    int q = msgget(2000, 0);
    ASSERT_GE(q, 0);
    // Records with sequence numbers nobody waits for, until the queue takes no more.
    MsgAnswer junk;
    memset(&junk, 0, sizeof junk);
    junk.type = 1;
    junk.seq = -7;
    int put = 0;
    while (put < 1000 && zr_send_answer(q, junk, IPC_NOWAIT) == 0) put++;
    ASSERT_GT(put, 0);
    long long t0 = rig::nowMs();
    std::string first = ask("?cmd=hello");
    long long firstMs = rig::nowMs() - t0;
    reliab::LoadStats s =
        reliab::runLoad(kPort, std::max(2, zrClients() / 4), zrRequests(), mix(false), slowLine());
    reliab::record("ZR1Communicator answer queue full",
                   std::to_string(put) + " stray records; first hello after " + std::to_string(firstMs) +
                       " ms; then " + s.summary());
    EXPECT_EQ(first, kHello);
    EXPECT_EQ(s.wrong + s.lost + s.extra + s.connFailed, 0) << s.firstBad;
}

TEST_F(Zr1Reliab, KilledSemaphoreHolderGivesTheTransceiverBack) {
    std::vector<pid_t> trx = zr1t::transceiverPids();
    ASSERT_EQ(trx.size(), 1u);
    // The transceiver stands still: the holder's exchange waits, semaphore held;
    // it goes on once the holder is gone.
    ASSERT_EQ(kill(trx[0], SIGSTOP), 0);
    lockholder::Outcome o = lockholder::killLockHolder("ZR1Communicator", kPort, "?cmd=hello\n", "?cmd=get_leaves\n",
                                                       5000, [&] { kill(trx[0], SIGCONT); });
    kill(trx[0], SIGCONT);
    ASSERT_EQ(o.error, "");
    reliab::record("ZR1Communicator semaphore holder SIGKILL",
                   "waiting client answered " + std::to_string(o.resumeMs) + " ms after the kill");
    EXPECT_EQ(o.waiterAnswer, leaves);
    EXPECT_TRUE(o.holderClosed);
    EXPECT_EQ(ask("?cmd=hello"), kHello);
}

}  // namespace
