// gatex2d under load and with a killed lock holder, in the appliance rig, against
// two nodegw gateways with different readings (a crossed answer shows).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "load.h"
#include "lockholder.h"
#include "rig.h"

namespace {

constexpr int kPort = 1112;
constexpr int kT = 5000;
const std::string kHello = "?cmd=hello&status=OK\n";

// The measuring time after "&time=": "YYYY-MM-DD_HH:MM:SS\n".
bool timeShape(const std::string& s) {
    const std::string shape = "dddd-dd-dd_dd:dd:dd\n";
    if (s.size() != shape.size()) return false;
    for (size_t i = 0; i < s.size(); i++)
        if (shape[i] == 'd' ? !isdigit((unsigned char)s[i]) : s[i] != shape[i]) return false;
    return true;
}

class Gatex2dReliab : public ::testing::Test {
protected:
    std::vector<std::unique_ptr<rig::Process>> sims;
    std::vector<std::string> gws;
    std::string leaves;

    int startSim(std::vector<std::string> args) {
        std::string pf = rig::scratchDir() + "/gw" + std::to_string(sims.size()) + ".port";
        unlink(pf.c_str());
        args.insert(args.begin(), {rig::binDir() + "/nodegw", "--port-file", pf});
        sims.push_back(std::make_unique<rig::Process>(args));
        std::string s;
        if (!rig::waitUntil([&] { return !(s = rig::readFile(pf)).empty(); }, kT, 20)) return -1;
        return atoi(s.c_str());
    }
    void SetUp() override {
        if (!rig::inRig()) GTEST_SKIP() << "needs the appliance rig (tests/rig/rig)";
        for (const char* v : {"1:10=111.5", "1:10=222.5"}) {
            int p = startSim({"--age", "0", "--value", v});
            ASSERT_GT(p, 0);
            gws.push_back("127.0.0.1:" + std::to_string(p));
        }
        std::string conf = rig::scratchDir() + "/gatex2d.conf";
        rig::writeFile(conf, "port=1112\nmaxnodes=4\n");
        rig::Process p({rig::binDir() + "/gatex2d", conf});
        auto e = p.waitExit(30000);
        ASSERT_TRUE(e && e->exited && e->code == 0);
        ASSERT_TRUE(rig::waitPort(kPort, 30000));
        for (const std::string& g : gws) ASSERT_EQ(ask("?cmd=rescan&node=" + g + "\n"), "?cmd=rescan&status=OK\n");
        leaves = ask("?cmd=get_leaves\n");
        ASSERT_EQ(leaves.rfind("?cmd=get_leaves&status=OK&val=", 0), 0u);
        ASSERT_GT(leaves.size(), 40u);
    }
    void TearDown() override {
        if (!rig::inRig()) return;
        for (pid_t p : rig::pidsOf("gatex2d")) rig::endPid(p, 2000);
        for (auto& s : sims) s->stop();
    }
    std::string ask(const std::string& line) {
        rig::ProtoClient c;
        if (!c.connect("127.0.0.1", kPort, kT)) return "(no connection)";
        return c.request(line, kT).value_or("(no answer)");
    }
    reliab::Req value(int g) {
        reliab::Req r{"?cmd=get_value&node=" + gws[(size_t)g] + "&toq=D4_1\n",
                      std::string("?cmd=get_value&status=OK&val=") + (g ? "222.500000" : "111.500000") + "&time=",
                      true, timeShape};
        return r;
    }
    // Mostly answers from the shared segment, one in twenty from a gateway.
    reliab::Req mix(int c, int i) {
        if (i % 20 == 19) return value(c % 2);
        if (i % 2 == 0) return reliab::Req{"?cmd=hello\n", kHello};
        return reliab::Req{"?cmd=get_leaves\n", leaves};
    }
};

TEST_F(Gatex2dReliab, ManyClients) {
    auto plan = [this](int c, int i) { return mix(c, i); };
    reliab::LoadStats s = reliab::runLoad(kPort, reliab::clients(), reliab::requests(), plan);
    reliab::record("gatex2d load " + std::to_string(reliab::clients()) + "x" + std::to_string(reliab::requests()),
                   s.summary());
    EXPECT_EQ(s.answered, (long)reliab::clients() * reliab::requests()) << s.firstBad;
    EXPECT_EQ(s.wrong + s.lost + s.extra + s.connFailed, 0) << s.firstBad;
}

TEST_F(Gatex2dReliab, SoakKeepsMemoryAndDescriptorsFlat) {
    // As for gatex1d: one long-lived connection, every hundredth request on a
    // connection of its own; make reliability runs 1,000,000.
    long n = reliab::envInt("ORV_RELIAB_SOAK", 2000);
    pid_t mainPid = reliab::mainProcessOf("gatex2d");
    ASSERT_GT(mainPid, 0);
    reliab::SoakStats s = reliab::runSoak(kPort, mainPid, n, 100, [this](int c, int i) { return mix(c, i); });
    reliab::record("gatex2d soak " + std::to_string(n), s.summary());
    EXPECT_EQ(s.answered, n) << s.firstBad;
    EXPECT_GT(s.connPid, 0) << "the long-lived connection's process was not found";
    EXPECT_EQ(reliab::soakGrowth(s, 32), "") << "RSS slack 32 KiB (8 pages)";
}

TEST_F(Gatex2dReliab, KilledLockHolderGivesTheNetworkBack) {
    int p = startSim({"--raw", "all:silence"});
    ASSERT_GT(p, 0);
    std::string silent = "127.0.0.1:" + std::to_string(p);
    // The holder's reading waits for a gateway that never answers, lock held.
    lockholder::Outcome o = lockholder::killLockHolder(
        "gatex2d", kPort, "?cmd=get_value&node=" + silent + "&toq=D4_1&timeout=8000\n", value(1).line, kT);
    ASSERT_EQ(o.error, "");
    reliab::record("gatex2d lock holder SIGKILL",
                   "waiting client answered " + std::to_string(o.resumeMs) + " ms after the kill");
    EXPECT_EQ(o.waiterAnswer.rfind(value(1).want, 0), 0u) << o.waiterAnswer;
    EXPECT_TRUE(o.holderClosed);
}

}  // namespace
