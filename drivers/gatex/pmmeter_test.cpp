// pmmeter: scans, leaf lists and every get_value outcome over a scripted line
// whose answers are keyed by the exact frame bytes the daemon sends.
#include "pmmeter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "log.h"
#include "ov3.h"
#include "test_support.h"

namespace {

// A data answer of station with the given registers (four characters each, low
// byte first), a made-up check code and the line end the tty delivers.
std::string data(int station, std::vector<unsigned> regs) {
    char b[16];
    snprintf(b, sizeof b, "%%%02d$RD", station);
    std::string s = b;
    for (unsigned r : regs) {
        snprintf(b, sizeof b, "%02X%02X", r & 0xff, (r >> 8) & 0xff);
        s += b;
    }
    return s + "3C\n";
}

class ScriptLine : public PmLine {
public:
    std::map<std::string, std::string> answers;  // frame -> answer; absent: silence
    std::vector<std::string> ahead;              // lines the line delivers first (noise)
    std::vector<std::string> sent;
    std::vector<int> timeouts;
    std::vector<unsigned> pauses;
    int failOpens = 0;         // this many opens fail first
    bool pauseResult = true;
    int held = 0;              // lock balance: opens minus closes
    int opens = 0;

    int open() override {
        opens++;
        if (failOpens > 0) {
            failOpens--;
            return -1;
        }
        held++;
        return 7;
    }
    void close(int fd) override {
        EXPECT_EQ(fd, 7);
        held--;
    }
    bool send(int fd, const char* frame, size_t len) override {
        EXPECT_EQ(held, 1) << "line used without the lock";
        sent.emplace_back(frame, len);
        return true;
    }
    int read(int fd, char* buf, int size, int timeoutMs) override {
        timeouts.push_back(timeoutMs);
        if (!ahead.empty()) {
            std::string l = ahead.front();
            ahead.erase(ahead.begin());
            snprintf(buf, (size_t)size, "%s", l.c_str());
            return (int)strlen(buf);
        }
        auto it = answers.find(sent.back());
        if (it == answers.end()) {
            buf[0] = '\0';
            return -1;
        }
        int n = (int)it->second.size();
        if (n > size - 1) n = size - 1;
        memcpy(buf, it->second.data(), (size_t)n);
        buf[n] = '\0';
        return n;
    }
    bool pause(unsigned s) override {
        pauses.push_back(s);
        return pauseResult;
    }
    int stopAfterSends = -1;  // the daemon is told to stop once this many frames went out
    bool stopping() override { return stopAfterSends >= 0 && (int)sent.size() >= stopAfterSends; }
};

const drv::Dialect kDialect = {"gatex1d", "1.18", nullptr, 0, pm_raw, nullptr, nullptr};

class Meters : public ::testing::Test {
protected:
    std::unique_ptr<PmShared> shared{new PmShared()};
    drvtest::LogCapture log;
    ScriptLine line;
    drvtest::StringConn conn{""};
    drv::Session session{conn, kDialect};

    void SetUp() override {
        memset(shared.get(), 0, sizeof(PmShared));
        pm_shared = shared.get();
        pm_line = &line;
        pm_cfg = PmConfig();
        ov3_init(0);
    }
    void TearDown() override {
        EXPECT_EQ(line.held, 0) << "lock left held";
    }

    // Kind 1 at station 2, circuits 1 and 2 (block 1), nothing in blocks 2 and 3.
    void kind1At2() {
        line.answers["%02#RDD0012600129**\r"] = data(2, {1, 0, 2, 0});
        line.answers["%02#RDD0014000143**\r"] = data(2, {0x1234, 0, 0x5678, 0});
        line.answers["%02#RDD0024000243**\r"] = data(2, {0xffff, 0xffff, 0xffff, 0xffff});
        line.answers["%02#RDD0034000343**\r"] = data(2, {0xffff, 0xffff, 0xffff, 0xffff});
    }
    // Kind 2 at station 5, circuits 1 and 3 of maxleaves.
    void kind2At5() {
        line.answers["%05#RDD0012600129**\r"] = data(5, {1000, 0, 230, 0});
        for (int b = 1; b <= 8; b++) {
            char f[64];
            snprintf(f, sizeof f, "%%05#RDD%03d40%03d41**\r", b, b);
            line.answers[f] = (b == 1 || b == 3) ? data(5, {10, 0}) : data(5, {0xffff, 0xffff});
        }
    }
    std::string request(const char* text) {
        conn.out.clear();
        static char buf[1024];
        snprintf(buf, sizeof buf, "%s", text);
        ov3_parse(buf);
        if (strncmp(text, "cmd=get_value", 13) == 0) pm_cmd_get_value(session);
        else if (strncmp(text, "cmd=rescan", 10) == 0) pm_cmd_rescan(session);
        else if (strcmp(text, "cmd=get_leaves") == 0) pm_cmd_get_leaves(session);
        else if (strcmp(text, "cmd=get_leaves_ex") == 0) pm_cmd_get_leaves_ex(session);
        return conn.out;
    }
};

TEST_F(Meters, ScanBuildsBothLeafListsInNodeOrder) {
    kind1At2();
    kind2At5();
    ASSERT_EQ(pm_scan(0), 0);
    EXPECT_EQ(pm_kind(2), 1);
    EXPECT_EQ(pm_kind(5), 2);
    EXPECT_EQ(pm_kind(1), 0);
    EXPECT_STREQ(shared->leaves, "2_1,2_2,5_1,5_3\n");
    EXPECT_STREQ(shared->leavesEx, "2_1_w2,2_2_w2,5_1_w3,5_3_w3\n");
    EXPECT_EQ(request("cmd=get_leaves"), "?cmd=get_leaves&status=OK&val=2_1,2_2,5_1,5_3\n");
    EXPECT_EQ(request("cmd=get_leaves_ex"), "?cmd=get_leaves_ex&status=OK&val=2_1_w2,2_2_w2,5_1_w3,5_3_w3\n");
    EXPECT_EQ(line.opens, 1);  // one hold of the lock for the whole scan
    for (int t : line.timeouts) EXPECT_EQ(t, 500);
}

TEST_F(Meters, ScanFramesAndKind1ProbeRange) {
    kind1At2();
    pm_cfg.maxnodes = 2;
    pm_scan(0);
    // maxleaves 8: kind 1 probes blocks 1..3 only, so at most leaves 1..6.
    std::vector<std::string> want = {
        "%01#RDD0012600129**\r", "%02#RDD0012600129**\r", "%02#RDD0014000143**\r",
        "%02#RDD0024000243**\r", "%02#RDD0034000343**\r",
    };
    EXPECT_EQ(line.sent, want);
}

TEST_F(Meters, Kind1ListsAtMostSixOfEightLeaves) {
    line.answers["%01#RDD0012600129**\r"] = data(1, {1, 0, 1, 0});
    for (int b = 1; b <= 4; b++) {
        char f[64];
        snprintf(f, sizeof f, "%%01#RDD%03d40%03d43**\r", b, b);
        line.answers[f] = data(1, {1, 0, 1, 0});
    }
    pm_cfg.maxnodes = 1;
    pm_scan(0);
    EXPECT_STREQ(shared->leaves, "1_1,1_2,1_3,1_4,1_5,1_6\n");
}

TEST_F(Meters, NoMetersGiveEmptyLists) {
    pm_scan(0);
    EXPECT_STREQ(shared->leaves, "\n");
    EXPECT_EQ(request("cmd=get_leaves"), "?cmd=get_leaves&status=OK&val=\n");
    EXPECT_EQ(line.sent.size(), 8u);  // one identification per station
}

TEST_F(Meters, ShortIdentificationLeavesEntryAlone) {
    // 22 characters are not enough to hold both identification values.
    line.answers["%01#RDD0012600129**\r"] = "%01$RD0100000002000000";
    ASSERT_EQ(line.answers["%01#RDD0012600129**\r"].size(), 22u);
    pm_cfg.maxnodes = 1;
    pm_scan(0);
    EXPECT_EQ(pm_kind(1), 0);
}

TEST_F(Meters, RescanOfOneNodeClearsOnlyIt) {
    kind1At2();
    kind2At5();
    pm_scan(0);
    line.answers.erase("%05#RDD0012600129**\r");  // station 5 went silent
    EXPECT_EQ(request("cmd=rescan&node=5"), "?cmd=rescan&status=OK\n");
    EXPECT_STREQ(shared->leaves, "2_1,2_2\n");
    EXPECT_EQ(pm_kind(2), 1);
}

TEST_F(Meters, RescanRefusesNodesOutsideTheTable) {
    struct Case {
        const char* req;
        const char* want;
    } cases[] = {
        {"cmd=rescan&node=9", "?cmd=rescan&status=EINVALNODE&val=9\n"},
        {"cmd=rescan&node=-1", "?cmd=rescan&status=EINVALNODE&val=-1\n"},
        {"cmd=rescan&node= 12x", "?cmd=rescan&status=EINVALNODE&val=12x\n"},
        {"cmd=rescan", "?cmd=rescan&status=OK\n"},
        {"cmd=rescan&node=0", "?cmd=rescan&status=OK\n"},
        {"cmd=rescan&node=8", "?cmd=rescan&status=OK\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(request(c.req), c.want) << c.req;
}

TEST_F(Meters, OpenRetriesDoubleTheirDelay) {
    line.failOpens = 3;
    ASSERT_EQ(pm_scan(0), 0);
    EXPECT_EQ(line.pauses, (std::vector<unsigned>{5, 10, 20}));
    ASSERT_EQ(log.texts().size(), 3u);
    EXPECT_EQ(log.texts()[0], "failed to open and init the device.retry after 5 seconds.");
    EXPECT_EQ(log.texts()[2], "failed to open and init the device.retry after 20 seconds.");
}

TEST_F(Meters, HundredFailedOpensTouchNothing) {
    line.failOpens = 1000;
    strcpy(shared->leaves, "1_1\n");
    shared->nodes[1][0] = 2;
    EXPECT_EQ(pm_scan(0), -1);
    EXPECT_EQ(line.opens, 100);
    EXPECT_EQ(line.held, 0);  // no close (and so no release) of a lock never taken
    EXPECT_TRUE(line.sent.empty());
    EXPECT_EQ(pm_kind(1), 2);
    EXPECT_STREQ(shared->leaves, "1_1\n");
    // The doubling stops short of overflowing.
    EXPECT_GT(line.pauses.back(), 1u << 30);
    EXPECT_EQ(log.texts().back(), "failed to open and init the device, giving up.");
}

TEST_F(Meters, PendingStopEndsTheRetries) {
    line.failOpens = 1000;
    line.pauseResult = false;
    EXPECT_EQ(pm_scan(0), -1);
    EXPECT_EQ(line.opens, 1);
}

// A stop or restart asked for during a scan ends it at the next probe: nothing
// more goes out, the lock is given back, and what was found so far is listed.
// One that came before the scan neither takes the lock nor opens the device.
TEST_F(Meters, StopDuringTheScanEndsItAtTheNextProbe) {
    kind1At2();
    kind2At5();
    struct Case {
        int after;              // frames sent before the stop
        const char* leaves;     // the list then
        int result, opens;
    } cases[] = {
        {0, "", -1, 0},         // stopped before: the list untouched
        {1, "\n", 0, 1},        // station 1 asked, nothing found
        {3, "2_1,2_2\n", 0, 1},  // in the middle of station 2's probes
        {8, "2_1,2_2\n", 0, 1},  // station 5 identified, none of its leaves probed yet
        {9, "2_1,2_2,5_1\n", 0, 1},
    };
    for (const Case& c : cases) {
        memset(shared.get(), 0, sizeof(PmShared));
        line.sent.clear();
        line.opens = 0;
        line.stopAfterSends = c.after;
        ASSERT_EQ(pm_scan(0), c.result);
        EXPECT_EQ(line.opens, c.opens) << c.after;
        EXPECT_EQ((int)line.sent.size(), c.after) << c.after;
        EXPECT_STREQ(shared->leaves, c.leaves) << c.after;
        EXPECT_EQ(line.held, 0);
    }
}

TEST_F(Meters, GetValueReadsTheMappedRegisters) {
    kind1At2();
    kind2At5();
    pm_scan(0);
    line.answers["%02#RDD0012200123**\r"] = data(2, {0x3039, 0});   // ipc even leaf: 12345
    line.answers["%02#RDD0014800148**\r"] = data(2, {97});          // pf odd leaf, 1 register
    line.answers["%02#RDD0014900149**\r"] = data(2, {98});          // pf even leaf
    line.answers["%02#RDD0012400125**\r"] = data(2, {2301, 0});     // v
    line.answers["%05#RDD0034000341**\r"] = data(5, {0x3039, 0});   // ip leaf 3
    line.answers["%05#RDD0012000121**\r"] = data(5, {5, 0});        // ipc leaf 1
    line.answers["%05#RDD0013800139**\r"] = data(5, {0, 1});        // ct: 65536
    struct Case {
        const char* req;
        const char* frame;
        const char* want;
    } cases[] = {
        {"cmd=get_value&node=2&leaf=2&toq=ipc", "%02#RDD0012200123**\r", "?cmd=get_value&status=OK&val=123.45\n"},
        {"cmd=get_value&node=2&leaf=1&toq=pf", "%02#RDD0014800148**\r", "?cmd=get_value&status=OK&val=97\n"},
        {"cmd=get_value&node=2&leaf=2&toq=pf", "%02#RDD0014900149**\r", "?cmd=get_value&status=OK&val=98\n"},
        {"cmd=get_value&node=2&leaf=1&toq=v", "%02#RDD0012400125**\r", "?cmd=get_value&status=OK&val=230.1\n"},
        {"cmd=get_value&node=5&leaf=3&toq=ip", "%05#RDD0034000341**\r", "?cmd=get_value&status=OK&val=12.345\n"},
        {"cmd=get_value&node=5&toq=ipc", "%05#RDD0012000121**\r", "?cmd=get_value&status=OK&val=0.05\n"},
        {"cmd=get_value&node=5&leaf=1&toq=ct", "%05#RDD0013800139**\r", "?cmd=get_value&status=OK&val=655.36\n"},
    };
    for (const Case& c : cases) {
        line.sent.clear();
        EXPECT_EQ(request(c.req), c.want) << c.req;
        ASSERT_EQ(line.sent.size(), 1u) << c.req;
        EXPECT_EQ(line.sent[0], c.frame) << c.req;
    }
}

TEST_F(Meters, GetValueFailures) {
    kind1At2();
    kind2At5();
    pm_scan(0);
    line.answers["%02#RDD0012000121**\r"] = "%02!4212\n";
    line.answers["%02#RDD0013400135**\r"] = "%02$RD393\n";    // cut short
    line.answers["%02#RDD0014000141**\r"] = "%02#RD39300000\n"; // neither data nor error
    line.answers["%05#RDD0014800148**\r"] = "%05!6";           // too short for an error
    struct Case {
        const char* req;
        const char* want;
    } cases[] = {
        {"cmd=get_value&node=2&leaf=1&toq=ipc", "?cmd=get_value&status=ENODEERR&val=42\n"},
        {"cmd=get_value&node=2&leaf=1&toq=c", "?cmd=get_value&status=EINVALNODERES\n"},
        {"cmd=get_value&node=2&leaf=1&toq=ip", "?cmd=get_value&status=EINVALNODERES\n"},
        {"cmd=get_value&node=5&leaf=1&toq=pf", "?cmd=get_value&status=EINVALNODERES\n"},
        {"cmd=get_value&node=5&leaf=1&toq=vtn", "?cmd=get_value&status=EINVALNODERES\n"},  // silence
        {"cmd=get_value&node=2&leaf=1&toq=vrn", "?cmd=get_value&status=EINVALTOQ&val=vrn\n"},
        {"cmd=get_value&node=5&leaf=1&toq=v", "?cmd=get_value&status=EINVALTOQ&val=v\n"},
        {"cmd=get_value&node=5&leaf=1&toq=IP", "?cmd=get_value&status=EINVALTOQ&val=IP\n"},
        {"cmd=get_value&node=5&leaf=1", "?cmd=get_value&status=EINVALTOQ&val=\n"},
        {"cmd=get_value&node=5&leaf=2&toq=ip", "?cmd=get_value&status=ENOLEAF&val=5_2\n"},
        {"cmd=get_value&node=5&leaf=0&toq=ip", "?cmd=get_value&status=ENOLEAF&val=5_0\n"},
        {"cmd=get_value&node=5&leaf=32&toq=ip", "?cmd=get_value&status=ENOLEAF&val=5_32\n"},
        {"cmd=get_value&node=5&leaf=-7&toq=ip", "?cmd=get_value&status=ENOLEAF&val=5_-7\n"},
        {"cmd=get_value&node=3&leaf=1&toq=ip", "?cmd=get_value&status=ENONODE&val=3\n"},
        {"cmd=get_value&node=-1&leaf=1&toq=ip", "?cmd=get_value&status=ENONODE&val=-1\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(request(c.req), c.want) << c.req;
}

// Noise on the bus ahead of the answer: lines without a frame start are passed
// over within the answer wait, junk in front of "%" is cut off; the answer that
// follows is the one examined, so it is not left for the next exchange.
TEST_F(Meters, NoiseBeforeTheAnswerIsPassedOver) {
    kind2At5();
    pm_scan(0);
    line.answers["%05#RDD0014000141**\r"] = data(5, {1234, 0});
    struct Case {
        std::vector<std::string> noise;
        const char* want;
        size_t reads;
    } cases[] = {
        {{"#&Z!q\n"}, "?cmd=get_value&status=OK&val=1.234\n", 2},
        {{"\n", "xyz\n", "12$RD\n"}, "?cmd=get_value&status=OK&val=1.234\n", 4},
        {{"}}junk" + data(5, {4321, 0})}, "?cmd=get_value&status=OK&val=4.321\n", 1},
        {{"junk%05!61\n"}, "?cmd=get_value&status=ENODEERR&val=61\n", 1},
    };
    for (const Case& c : cases) {
        line.ahead = c.noise;
        line.timeouts.clear();
        EXPECT_EQ(request("cmd=get_value&node=5&leaf=1&toq=ip&timeout=3000"), c.want) << c.noise[0];
        ASSERT_EQ(line.timeouts.size(), c.reads) << c.noise[0];
        // Each further read waits only for what is left of the answer wait.
        for (size_t i = 1; i < line.timeouts.size(); i++) {
            EXPECT_LE(line.timeouts[i], line.timeouts[i - 1]);
            EXPECT_GT(line.timeouts[i], 0);
        }
        EXPECT_EQ(line.timeouts[0], 3000);
    }
    // Noise and then silence: invalid, not the noise, and no answer text left over.
    line.answers.erase("%05#RDD0014000141**\r");
    line.ahead = {"garbage\n"};
    EXPECT_EQ(request("cmd=get_value&node=5&leaf=1&toq=ip&timeout=200"), "?cmd=get_value&status=EINVALNODERES\n");
}

TEST_F(Meters, UnknownNodeIsScannedOnDemandAndNotCleared) {
    pm_scan(0);
    kind2At5();
    line.answers["%05#RDD0014000141**\r"] = data(5, {1234, 0});
    pm_cfg.maxnodes = 4;  // station 5 is above maxnodes: readable, not listed
    EXPECT_EQ(request("cmd=get_value&node=5&leaf=1&toq=ip"), "?cmd=get_value&status=OK&val=1.234\n");
    EXPECT_EQ(pm_kind(5), 2);
    EXPECT_STREQ(shared->leaves, "\n");
}

TEST_F(Meters, DeviceFailureIsEnodevWithThePath) {
    kind2At5();
    pm_scan(0);
    strcpy(pm_cfg.device, "/dev/ttyUSB7");
    line.failOpens = 1;
    EXPECT_EQ(request("cmd=get_value&node=5&leaf=1&toq=ip"), "?cmd=get_value&status=ENODEV&val=/dev/ttyUSB7\n");
    line.failOpens = 1;  // the on-demand scan of an unknown node needs the device too
    EXPECT_EQ(request("cmd=get_value&node=9&leaf=1&toq=ip"), "?cmd=get_value&status=ENODEV&val=/dev/ttyUSB7\n");
}

TEST_F(Meters, TimeoutComesFromTheRequest) {
    kind2At5();
    pm_scan(0);
    line.timeouts.clear();
    request("cmd=get_value&node=5&leaf=1&toq=ip&timeout=1500");
    request("cmd=get_value&node=5&leaf=1&toq=ip");
    request("cmd=get_value&node=5&leaf=1&toq=ip&timeout=0");
    request("cmd=get_value&node=5&leaf=1&toq=ip&timeout=-5");
    EXPECT_EQ(line.timeouts, (std::vector<int>{1500, 500, 500, 500}));
}

TEST_F(Meters, VerboseTraces) {
    kind2At5();
    pm_scan(0);
    line.answers["%05#RDD0034000341**\r"] = data(5, {0x3039, 0});
    session.verbose = true;
    EXPECT_EQ(request("cmd=get_value&node=5&leaf=3&toq=ip"),
              "!send '%05#RDD0034000341**\\r' to node-network.\n"
              "!'%05$RD393000003C\\n' is received from node-network.\n"
              "?cmd=get_value&status=OK&val=12.345\n");
    std::string dummy = request("cmd=get_value&node=150&toq=ip");
    EXPECT_EQ(dummy.rfind("!99 < node: 150, return a dummy response.\n?cmd=get_value&status=OK&val=", 0), 0u)
        << dummy;
    session.verbose = false;
    EXPECT_EQ(request("cmd=get_value&node=5&leaf=3&toq=ip"), "?cmd=get_value&status=OK&val=12.345\n");
}

TEST_F(Meters, MadeUpValuesAboveNode99) {
    struct Case {
        const char* toq;
        int decimals;
        double below;
    } cases[] = {{"ip", 3, 10.0}, {"pf", 2, 100.0}, {"vrn", 1, 1000.0}, {"c", 2, 100.0}};
    for (const Case& c : cases) {
        char req[128];
        snprintf(req, sizeof req, "cmd=get_value&node=150&toq=%s", c.toq);
        std::string got = request(req);
        ASSERT_EQ(got.rfind("?cmd=get_value&status=OK&val=", 0), 0u) << got;
        std::string val = got.substr(29, got.size() - 30);
        size_t dot = val.find('.');
        ASSERT_NE(dot, std::string::npos) << val;
        EXPECT_EQ(val.size() - dot - 1, (size_t)c.decimals) << c.toq;
        EXPECT_LT(atof(val.c_str()), c.below) << c.toq;
    }
    // Any other toq: the time in seconds through div100.
    std::string got = request("cmd=get_value&node=100&toq=ipc");
    double v = atof(got.substr(29).c_str());
    double now = (double)time(nullptr) / 100.0;
    EXPECT_NEAR(v, now, 1.0);
    EXPECT_TRUE(line.sent.empty());  // never on the line
}

// No answer is written while the device lock is held: a client that stops
// reading would hold every other reading of the line with its write.
TEST_F(Meters, NoAnswerIsWrittenUnderTheLock) {
    struct LockCheckConn : drvtest::StringConn {
        LockCheckConn() : StringConn("") {}
        const int* held = nullptr;
        int flushesHeld = 0;
        void flush() override {
            if (*held) flushesHeld++;
            StringConn::flush();
        }
    } c;
    c.held = &line.held;
    drv::Session s{c, kDialect};
    kind1At2();
    line.answers["%02#RDD0014000141**\r"] = data(2, {0x1234, 0});
    const char* requests[] = {"cmd=get_value&node=2&leaf=1&toq=ip", "cmd=get_value&node=3&leaf=1&toq=ip",
                              "cmd=rescan&node=2", "cmd=rescan"};
    for (const char* r : requests) {
        char buf[128];
        snprintf(buf, sizeof buf, "%s", r);
        ov3_parse(buf);
        if (strstr(r, "rescan")) pm_cmd_rescan(s);
        else pm_cmd_get_value(s);
        s.verbose = !s.verbose;  // the traces too
    }
    char meta[64];
    strcpy(meta, "!%02#RDD0012600129**");
    pm_raw(s, meta);
    EXPECT_EQ(c.flushesHeld, 0);
    EXPECT_NE(c.out.find("status=OK"), std::string::npos) << c.out;
}

TEST_F(Meters, RawPassThrough) {
    line.answers["%01#RDD0012600129**\r"] = "%01$RD0100\tX\n";
    char meta[128];
    strcpy(meta, "!%01#RDD0012600129**");
    pm_raw(session, meta);
    EXPECT_EQ(conn.out,
              "!!%01#RDD0012600129**. OK, send %01#RDD0012600129** to node-network.\n"
              "!'%01$RD0100\\tX\\n' is received from node-network.\n");
    ASSERT_EQ(line.sent.size(), 1u);
    EXPECT_EQ(line.sent[0], "%01#RDD0012600129**\r");
    EXPECT_EQ(line.timeouts.back(), 500);

    // Escapes are undone and an existing carriage return is not doubled.
    conn.out.clear();
    strcpy(meta, "!ab\\tc\\\\\\r");
    pm_raw(session, meta);
    EXPECT_EQ(line.sent.back(), "ab\tc\\\r");
    EXPECT_EQ(conn.out.substr(conn.out.find('\n') + 1), "!'' is received from node-network.\n");

    conn.out.clear();
    line.failOpens = 1;
    strcpy(pm_cfg.device, "/dev/x");
    strcpy(meta, "!zz");
    pm_raw(session, meta);
    EXPECT_EQ(conn.out, "!!zz. OK, send zz to node-network.\nstatus=ENODEV&value=/dev/x\n");
}

TEST_F(Meters, LongestRawLineAndAnswerStayInTheirBuffers) {
    // A meta text of 1021 characters (all that fits a request line) that is all
    // escapes, and an answer of 1022 backslashes: the worst case of each buffer.
    std::string text(1021, '\\');
    text[0] = '!';
    std::string frame(1020, '\\');
    ov3_text::unescape(&frame[0]);
    line.answers[std::string(frame.c_str()) + "\r"] = std::string(1100, '\\');
    std::vector<char> meta(text.begin(), text.end());
    meta.push_back('\0');
    pm_raw(session, meta.data());
    size_t at = conn.out.find("!'");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(conn.out.size() - at, 2 + 2 * 1022 + strlen("' is received from node-network.\n"));
}

TEST_F(Meters, ListReadDuringRebuildStillEndsTheLine) {
    strcpy(shared->leaves, "1_1,1_");  // caught without its line end
    EXPECT_EQ(request("cmd=get_leaves"), "?cmd=get_leaves&status=OK&val=1_1,1_\n");
    memset(shared->leaves, 'a', kPmListSize);  // no string end at all
    std::string got = request("cmd=get_leaves");
    EXPECT_EQ(got.size(), strlen("?cmd=get_leaves&status=OK&val=") + kPmListSize - 1 + 1);
}

TEST_F(Meters, ClampsLimits) {
    PmConfig c;
    c.maxnodes = 150;
    c.maxleaves = 40;
    pm_clamp(c);
    EXPECT_EQ(c.maxnodes, 99);
    EXPECT_EQ(c.maxleaves, 31);
    c.maxnodes = -3;
    c.maxleaves = -1;
    pm_clamp(c);
    EXPECT_EQ(c.maxnodes, 0);
    EXPECT_EQ(c.maxleaves, 0);
}

}  // namespace
