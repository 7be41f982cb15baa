// The whole sensor-network driver: ZR1Communicator, serlink and the simulated
// nodes on a pty, started by ZR1.sh inside the rig. Every command's response
// line as the web application reads it, with the frames that went on the line.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "rig.h"
#include "zr1_support.h"

namespace {

std::string ask(rig::ProtoClient& c, const std::string& req, int ms = 8000) {
    auto line = c.request(req, ms);
    return line ? *line : std::string("<none>");
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) out.push_back(l);
    return out;
}

// The simulated network:
//   3: channels 0-2 of type "10", no answer to the type check (chk 2)
//   5: channels 0, 1 of type "20" and 2 of type "10", answers the check (chk 1)
//   7: a wrong check value on every answer
//   9: channel 1 of type "10" whose readings are node errors (chk 1)
//   B: channel 1 of type "10" with value mark "00"
// Nodes 0-2, 4, 6, 8 are silent (absent).
class FullStack : public ::testing::Test {
protected:
    void SetUp() override {
        if (!rig::inRig()) GTEST_SKIP() << "needs the appliance rig (tests/rig/rig)";
        zr1t::endAll();
        framelog = rig::scratchDir() + "/frames.log";
        std::string slave = zr1t::startSensornet(
            sim,
            {"3:types=10/10/10,nogp", "5:types=20/20/10", "7:types=10,bcc=bad",
             "9:types=00/10,values=E1234567/E2/E3/E4/E5/E6/E7", "B:types=00/10,mark=00"},
            framelog);
        ASSERT_NE(slave, "") << sim.error();
        // Short receive wait: absent nodes cost 0.2 s each on the line.
        zr1t::install("[SERIAL]\ndevice=" + slave + "\nbaud=19200\ntimeout=200000\n[ZR11ACOMMAND]\nmaxnodes=9\n"
                      "[MSGQUE]\nkey1=1000\nkey2=2000\n");
        ASSERT_TRUE(zr1t::startWithScript("fullstack"));
        ASSERT_TRUE(rig::waitPort(1131, 10000));
        ASSERT_TRUE(client.connect("127.0.0.1", 1131, 3000));
        // Up when hello is answered; the boot scan is done when the leaves of
        // node 5 (checked last but one of the present nodes) are listed with
        // its checked node code and node 9 was scanned.
        ASSERT_TRUE(rig::waitUntil([&] { return ask(client, "?cmd=hello", 3000) == "?cmd=hello&status=OK\r\n"; }, 10000));
        ASSERT_TRUE(rig::waitUntil([&] { return rig::readFile(framelog).find("ok 923") != std::string::npos; }, 20000));
        // The boot-scan child takes that last answer in and ends; what stays is the
        // process of this test's connection.
        pid_t main = zr1t::commanderMain();
        ASSERT_GT(main, 0);
        ASSERT_TRUE(rig::waitUntil([&] { return zr1t::childrenOf(main).size() <= 1; }, 10000));
    }
    void TearDown() override {
        client.close();
        zr1t::endAll();
        if (sim.pid() > 0) sim.stop();
    }
    // Frames the nodes received since mark (bytes of the frame log).
    std::vector<std::string> framesSince(size_t mark) {
        std::string all = rig::readFile(framelog);
        return lines(all.substr(std::min(mark, all.size())));
    }
    size_t mark() { return rig::readFile(framelog).size(); }

    rig::Process sim;
    rig::ProtoClient client;
    std::string framelog;
};

std::string entries(const std::string& head, const char* typnos, char ch) {
    std::string s;
    for (const char* t = typnos; *t; t++) s += head + "C" + *t + "_" + ch + ",";
    return s;
}

TEST_F(FullStack, LeavesFromTheBootScan) {
    std::string want = "?cmd=get_leaves&status=OK&val=";
    want += entries("00000011000003", "01236", '1') + entries("00000011000003", "01236", '2');
    want += entries("00000020000005", "0124578", '1') + entries("00000020000005", "01236", '3');
    want += entries("00000020000009", "01236", '2');  // node 9 answers the check: channel 1 as '2'
    want.pop_back();
    EXPECT_EQ(ask(client, "?cmd=get_leaves"), want + "\r\n");
    // The boot scan: for every node 0-9 a leaf scan, and a type check after
    // each scan that was answered (3, 5, 9).
    auto frames = framesSince(0);
    std::vector<std::string> scans, checks;
    for (const auto& f : frames) {
        if (f.size() == 6 && f.compare(4, 2, "23") == 0) scans.push_back(f.substr(3, 1));
        if (f.size() == 6 && f.compare(4, 2, "GP") == 0) checks.push_back(f.substr(3, 1));
    }
    EXPECT_EQ(scans, (std::vector<std::string>{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}));
    EXPECT_EQ(checks, (std::vector<std::string>{"3", "5", "9"}));
}

TEST_F(FullStack, Readings) {
    const std::string time = "&time=[0-9]{4}-[0-9]{2}-[0-9]{2}_[0-9]{2}:[0-9]{2}:[0-9]{2}\r\n";
    struct Case {
        const char* params;
        const char* line;   // a regular expression
        const char* frame;  // the value request on the line, "" for none
    } cases[] = {
        // field f of leaf l of node n reads node*10000 + l*100 + f*10
        {"node=11000003&leaf=2&toq=C0_2", "\\?cmd=get_value&status=OK&val=00030200", "ok 300@@@A2"},
        {"node=11000003&leaf=2&toq=C6_2", "\\?cmd=get_value&status=OK&val=00030240", "ok 300@@@A2"},
        {"node=11000003&leaf=1&toq=C3_1", "\\?cmd=get_value&status=OK&val=00030130", "ok 300@@@A1"},
        {"node=20000005&leaf=1&toq=C4_1", "\\?cmd=get_value&status=OK&val=00050030", "ok 500@@@A0"},
        {"node=20000005&leaf=1&toq=C8_1", "\\?cmd=get_value&status=OK&val=00050060", "ok 500@@@A0"},
        {"node=20000005&leaf=3&toq=C3_3", "\\?cmd=get_value&status=OK&val=00050230", "ok 500@@@A2"},
        {"node=20000005&leaf=3&toq=C7_3", "\\?cmd=get_value&status=EINVALIDTOQ\r\n", "ok 500@@@A2"},
        {"node=20000009&leaf=2&toq=C0_2", "\\?cmd=get_value&status=ENODEERR&val=E123\r\n", "ok 900@@@A1"},
        {"node=1100000B&leaf=1&toq=C0_1", "\\?cmd=get_value&status=ENOLEAF\r\n", "ok B00@@@A1"},
        {"node=11000007&leaf=0&toq=C0_0", "\\?cmd=get_value&status=EBCC\r\n", "ok 700@@@A0"},
        {"node=11000004&leaf=0&toq=C0_0", "\\?cmd=get_value&status=ETIMEOUT\r\n", "ok 400@@@A0"},
        {"node=11000010&leaf=0&toq=C0_0", "\\?cmd=get_value&status=EINVALIDKEY\r\n", ""},
        {"node=R0000000&leaf=x&toq=C2_", "\\?cmd=get_value&status=OK&val= {6,7}[0-9]{1,2}", ""},
    };
    for (const Case& c : cases) {
        size_t m = mark();
        std::string line = ask(client, std::string("?cmd=get_value&protocol=C0&") + c.params);
        std::string re = c.line;
        if (re.back() != '\n') re += time;
        EXPECT_TRUE(std::regex_match(line, std::regex(re))) << c.params << " -> " << line;
        auto f = framesSince(m);
        if (*c.frame)
            EXPECT_EQ(f, std::vector<std::string>{c.frame}) << c.params;
        else
            EXPECT_TRUE(f.empty()) << c.params;
    }
}

TEST_F(FullStack, SetTimeAndRescans) {
    size_t m = mark();
    EXPECT_EQ(ask(client, "?cmd=set_time"), "?cmd=set_time&status=OK\r\n");
    auto f = framesSince(m);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_TRUE(std::regex_match(f[0], std::regex("ok \\*20[0-9]{14}"))) << f[0];

    struct Case {
        const char* req;
        const char* line;
        std::vector<std::string> frames;
    } cases[] = {
        {"?cmd=rescan&node=5", "?cmd=rescan&status=OK\r\n", {"ok 523", "ok 5GP"}},
        {"?cmd=rescan&node=7", "?cmd=rescan&status=EBCC\r\n", {"ok 723"}},
        {"?cmd=rescan&node=4", "?cmd=rescan&status=ETIMEOUT\r\n", {"ok 423"}},
        {"?cmd=rescan&node=12", "?cmd=rescan&status=EINVALIDKEY\r\n", {}},
    };
    for (const Case& c : cases) {
        m = mark();
        EXPECT_EQ(ask(client, c.req), c.line) << c.req;
        EXPECT_EQ(framesSince(m), c.frames) << c.req;
    }
    // A full rescan walks nodes 0-9 again and answers OK at its end.
    m = mark();
    EXPECT_EQ(ask(client, "?cmd=rescan", 30000), "?cmd=rescan&status=OK\r\n");
    auto all = framesSince(m);
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const std::string& s) { return s.size() == 6 && s.substr(4) == "23"; }), 10);
    EXPECT_EQ(all.back(), "ok 9GP");
}

TEST_F(FullStack, StoppedTransceiver) {
    auto link = zr1t::transceiverPids();
    ASSERT_EQ(link.size(), 1u);
    ASSERT_EQ(kill(link[0], SIGSTOP), 0);
    EXPECT_EQ(ask(client, "?cmd=get_value&protocol=C0&node=11000003&leaf=2&toq=C0_2"),
              "?cmd=get_value&status=EMSGTIMEOUT\r\n");
    EXPECT_EQ(ask(client, "?cmd=get_leaves"), "?cmd=get_leaves&status=EMSGTIMEOUT\r\n");
    std::string log = rig::readFile("/home/drivers/vexa/zr/ZR1ERROR.log");
    ASSERT_GT(log.size(), 25u);
    EXPECT_EQ(log.substr(25), "DoMsg:msgrcv(No message of desired type)\n");
    ASSERT_EQ(kill(link[0], SIGCONT), 0);
    // The late answers are passed over; the next reading is the right one.
    EXPECT_TRUE(std::regex_match(ask(client, "?cmd=get_value&protocol=C0&node=20000005&leaf=3&toq=C3_3"),
                                 std::regex("\\?cmd=get_value&status=OK&val=00050230&time=.*\r\n")));
}

}  // namespace
