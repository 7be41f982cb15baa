// The sensor-network pair as the appliance runs it: ZR1.sh starts serlink and
// ZR1Communicator, hup restarts both through the script, kill stops both, and
// a transceiver that stops answering gives EMSGTIMEOUT without taking the
// commander down.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <algorithm>
#include <string>
#include <thread>

#include "rig.h"
#include "zr1_support.h"

namespace {

const char kIni[] =
    "[SERIAL]\ndevice=/dev/ttyUSB0\nbaud=19200\ntimeout=200000\n[ZR11ACOMMAND]\nmaxnodes=0\n"
    "[MSGQUE]\nkey1=1000\nkey2=2000\ntimeout=400000\n";
const std::string kLog = "/home/drivers/vexa/zr/ZR1ERROR.log";
const std::string kOut = rig::scratchDir() + "/pair.out";
const std::string kErr = rig::scratchDir() + "/pair.err";

std::string ask(rig::ProtoClient& c, const std::string& req, int ms = 5000) {
    auto line = c.request(req, ms);
    return line ? *line : std::string("<none>");
}

class Pair : public ::testing::Test {
protected:
    void SetUp() override {
        if (!rig::inRig()) GTEST_SKIP() << "needs the appliance rig (tests/rig/rig)";
        zr1t::endAll();
        unlink(kLog.c_str());
        zr1t::install(kIni);
    }
    void TearDown() override { zr1t::endAll(); }
    // ZR1.sh with one word, as the init script or the commander runs it. In a
    // session of its own: the daemons it leaves behind are not the script
    // process's helpers (the test ends them by PID). The script's console is
    // two files, which the daemons inherit.
    void script(const char* word) {
        rig::Process::Options o;
        o.stdoutPath = kOut;
        o.stderrPath = kErr;
        rig::Process p({"setsid", "-w", std::string(zr1t::kDir) + "/ZR1.sh", word}, o);
        auto ex = p.waitExit(20000);
        ASSERT_TRUE(ex.has_value()) << word;
        EXPECT_TRUE(ex->exited && ex->code == 0) << word;
    }
    // Both daemons up, the port open, and the transceiver answering (it looks
    // for the commander's answer queue once a second).
    void waitUp() {
        ASSERT_TRUE(rig::waitUntil([] { return zr1t::commanderMain() > 0 && !zr1t::transceiverPids().empty(); }, 10000));
        ASSERT_TRUE(rig::waitPort(1131, 10000));
        rig::ProtoClient c;
        ASSERT_TRUE(c.connect("127.0.0.1", 1131, 3000));
        std::string last;
        EXPECT_TRUE(rig::waitUntil([&] { return (last = ask(c, "?cmd=hello", 3000)) == "?cmd=hello&status=OK\r\n"; }, 10000))
            << last;
    }
};

TEST_F(Pair, HupRestartsBothAndKillStopsBoth) {
    script("start");
    waitUp();
    if (HasFatalFailure()) return;
    pid_t main1 = zr1t::commanderMain();
    pid_t link1 = zr1t::transceiverPids().front();

    rig::ProtoClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", 1131, 3000));
    EXPECT_EQ(ask(c, "?cmd=hello"), "?cmd=hello&status=OK\r\n");
    EXPECT_EQ(ask(c, "?cmd=hup"), "?cmd=hup&status=OK\r\n");
    EXPECT_TRUE(c.closed(3000));  // the child ended after its answer

    // New processes for both, and the new instance serves.
    ASSERT_TRUE(rig::waitUntil(
        [&] {
            pid_t m = zr1t::commanderMain();
            auto l = zr1t::transceiverPids();
            return m > 0 && m != main1 && l.size() == 1 && l.front() != link1;
        },
        15000));
    waitUp();
    if (HasFatalFailure()) return;
    rig::ProtoClient d;
    ASSERT_TRUE(d.connect("127.0.0.1", 1131, 3000));
    EXPECT_EQ(kill(main1, 0), -1);
    EXPECT_EQ(kill(link1, 0), -1);

    EXPECT_EQ(ask(d, "?cmd=kill"), "?cmd=kill&status=OK\r\n");
    EXPECT_TRUE(d.closed(3000));
    EXPECT_TRUE(rig::waitUntil([] { return zr1t::commanderPids().empty() && zr1t::transceiverPids().empty(); }, 15000));
    EXPECT_FALSE(zr1t::sysvKeyExists("msg", 1000));
    EXPECT_FALSE(zr1t::sysvKeyExists("msg", 2000));
    EXPECT_TRUE(zr1t::sysvKeyExists("shm", 1131));
    rig::ProtoClient e;
    EXPECT_FALSE(e.connect("127.0.0.1", 1131, 300));
}

// An old process that ignores SIGTERM (hung, or with the signal ignored) must
// not stay beside the new pair: the stop step waits for it (about 5 s), ends it
// by SIGKILL and says so in the system log, and only then starts the pair, so
// that there is one transceiver and one commander afterwards.
TEST_F(Pair, RestartEndsAProcessThatIgnoresSigterm) {
    struct Case {
        const char* kind;  // as the log line names it
        const char* name;  // the stand-in's program name
    } cases[] = {{"transceiver", "serlink"}, {"commander", "ZR1Communicator"}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.kind);
        zr1t::endAll();
        rig::Syslog log;
        auto mark = log.mark();
        // The stand-in: a program of that name that sleeps, started with SIGTERM
        // ignored (kept across exec).
        std::string dir = rig::scratchDir() + "/deaf";
        mkdir(dir.c_str(), 0755);
        std::string prog = dir + "/" + k.name;
        ASSERT_TRUE(rig::copyFile("/bin/sleep", prog, 0755));
        rig::Process deaf({"sh", "-c", "trap '' TERM; exec " + prog + " 600"});
        ASSERT_TRUE(rig::waitUntil([&] { return rig::readFile("/proc/" + std::to_string(deaf.pid()) + "/cmdline")
                                                     .rfind(prog, 0) == 0; }, 5000));
        long long t0 = rig::nowMs();
        script("restart");
        long long ms = rig::nowMs() - t0;
        std::printf("[measured] ZR1.sh restart with a %s that ignores SIGTERM: %lld ms\n", k.kind, ms);
        auto ex = deaf.waitExit(5000);
        ASSERT_TRUE(ex.has_value()) << "the stand-in still runs";
        EXPECT_EQ(ex->signal, SIGKILL);
        EXPECT_TRUE(log.waitFor("ZR1.sh: the " + std::string(k.kind) + " (pid " + std::to_string(deaf.pid()) +
                                    ") was still running 5 s after SIGTERM: ended by SIGKILL",
                                3000, mark))
            << rig::readFile(log.path());
        waitUp();
        if (HasFatalFailure()) return;
        EXPECT_EQ(zr1t::transceiverPids().size(), 1u);
        EXPECT_GT(zr1t::commanderMain(), 0);
        for (pid_t p : zr1t::commanderPids()) EXPECT_NE(p, deaf.pid());
    }
}

TEST_F(Pair, StoppedTransceiverTimesOutThenRecovers) {
    script("start");
    waitUp();
    if (HasFatalFailure()) return;
    pid_t link = zr1t::transceiverPids().front();
    rig::ProtoClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", 1131, 3000));
    EXPECT_EQ(ask(c, "?cmd=hello"), "?cmd=hello&status=OK\r\n");

    ASSERT_EQ(kill(link, SIGSTOP), 0);
    EXPECT_EQ(ask(c, "?cmd=hello"), "?cmd=hello&status=EMSGTIMEOUT\r\n");
    EXPECT_EQ(ask(c, "?cmd=hello"), "?cmd=hello&status=EMSGTIMEOUT\r\n");
    std::string log = rig::readFile(kLog);
    ASSERT_GT(log.size(), 25u);
    EXPECT_EQ(log.substr(25), "DoMsg:msgrcv(No message of desired type)\n");

    // The transceiver goes on and answers the two stale requests first; the
    // commander must not take them for the answer to its next one (which it
    // would then report twice as early).
    ASSERT_EQ(kill(link, SIGCONT), 0);
    EXPECT_EQ(ask(c, "?cmd=get_leaves"), "?cmd=get_leaves&status=OK&val=\r\n");
    EXPECT_EQ(ask(c, "?cmd=hello"), "?cmd=hello&status=OK\r\n");

    // An unanswered kill stops nothing on the commander's side ...
    ASSERT_EQ(kill(link, SIGSTOP), 0);
    EXPECT_EQ(ask(c, "?cmd=kill"), "?cmd=kill&status=EMSGTIMEOUT\r\n");
    EXPECT_EQ(ask(c, "?cmd=hello"), "?cmd=hello&status=EMSGTIMEOUT\r\n");
    EXPECT_EQ(kill(link, 0), 0);
    // ... but the transceiver executes the stale stop when it goes on, and
    // the commander, still up, reports the missing transceiver.
    ASSERT_EQ(kill(link, SIGCONT), 0);
    EXPECT_TRUE(rig::waitUntil([] { return zr1t::transceiverPids().empty(); }, 5000));
    EXPECT_EQ(ask(c, "?cmd=hello"), "?cmd=hello&status=EMSGTIMEOUT\r\n");
    EXPECT_FALSE(zr1t::commanderPids().empty());
}

TEST_F(Pair, SerialDeviceMissing) {
    // Without a device the transceiver sends no answer for get_value and
    // set_time; get_leaves comes from its cache and is answered.
    script("start");
    waitUp();
    if (HasFatalFailure()) return;
    rig::ProtoClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", 1131, 3000));
    EXPECT_EQ(ask(c, "?cmd=get_value&protocol=C0&node=11000003&leaf=2&toq=C0_2"),
              "?cmd=get_value&status=EMSGTIMEOUT\r\n");
    EXPECT_EQ(ask(c, "?cmd=get_leaves"), "?cmd=get_leaves&status=OK&val=\r\n");
    EXPECT_EQ(ask(c, "?cmd=rescan&node=0"), "?cmd=rescan&status=ESELOPEN\r\n");

    // Both daemons write to the script's console, standard error joined to
    // standard output: serlink's settings and its perror of the failed open,
    // the commander's exchange lines; nothing on the console's standard error.
    std::string out;
    EXPECT_TRUE(rig::waitUntil(
        [&] {
            out = rig::readFile(kOut);
            return out.find("open: No such file or directory\n") != std::string::npos;
        },
        5000))
        << out;
    EXPECT_NE(out.find("device=/dev/ttyUSB0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("buf="), std::string::npos) << out;
    EXPECT_EQ(rig::readFile(kErr), "");
}

}  // namespace
