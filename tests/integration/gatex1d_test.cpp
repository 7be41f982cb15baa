// gatex1d in the appliance rig: the real daemon (it daemonises, logs to the rig's
// syslog, creates its System V objects) against meterbus-sim on a pty, through the
// serial shim. Every process started here is ended by its PID in TearDown.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lockholder.h"
#include "gatex1d_support.h"
#include "rig.h"

namespace {

#define NEED_RIG() \
    if (!rig::inRig()) GTEST_SKIP() << "needs the appliance rig (tests/rig/rig)"

constexpr int kPort = 1111;
constexpr int kT = 5000;  // bound of every single answer
// Bound of the end after a SIGTERM or SIGHUP, wherever the daemon waits: six
// times the goal of half a second, so that a loaded machine does not break it,
// and well below the waits it catches (a reading's 6 s, a bind retry's 30 s).
constexpr long long kStopBound = 3000;

class Gatex1d : public ::testing::Test {
protected:
    rig::Syslog log;
    rig::Syslog::Mark mark = 0;
    std::unique_ptr<gatex1dt::MeterbusSim> sim;
    std::string dev, busLog, conf;
    pid_t mainPid = -1;

    void SetUp() override {
        if (!rig::inRig()) return;
        mark = log.mark();
        std::string dir = rig::scratchDir();
        conf = dir + "/gatex1d.conf";
    }
    void TearDown() override {
        if (!rig::inRig()) return;
        gatex1dt::endGatex1d();
        if (sim) sim->stop();
    }

    // Starts the simulator with the given settings; dev becomes its slave path.
    void startSim(std::vector<std::string> args) {
        sim = std::make_unique<gatex1dt::MeterbusSim>();
        ASSERT_TRUE(sim->start(args, kT)) << sim->error();
        dev = sim->dev();
        busLog = sim->busLog();
    }
    void simControl(const std::string& line) { ASSERT_TRUE(sim->control(line, kT)) << sim->error(); }
    void writeConf(const std::string& extra, int port = kPort) {
        std::ofstream f(conf);
        f << "; written by the test\nport=" << port << "\ndevice=" << dev << "\nmaxnodes=5\n" << extra;
    }
    // A listener of the test's own on the daemon's port, so that its bind fails;
    // close-on-exec, so that the daemon does not inherit it. -1 when it cannot be made.
    static int holdPort() {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(kPort);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(s, (struct sockaddr*)&a, sizeof a) != 0 || listen(s, 1) != 0) {
            close(s);
            return -1;
        }
        return s;
    }
    // Runs gatex1d as the init script does; returns the launcher's exit.
    rig::Exit launch(std::vector<std::string> args, std::vector<std::string> env = {}) {
        args.insert(args.begin(), rig::binDir() + "/gatex1d");
        rig::Process::Options o;
        o.shim = true;
        o.env = env;
        rig::Process p(args, o);
        EXPECT_GT(p.pid(), 0) << p.error();
        auto e = p.waitExit(60000);
        EXPECT_TRUE(e.has_value());
        return e.value_or(rig::Exit{});
    }
    // Starts the daemon and waits for its listener.
    void startDaemon(std::vector<std::string> env = {}, int port = kPort) {
        rig::Exit e = launch({conf}, env);
        ASSERT_TRUE(e.exited && e.code == 0) << e.code << " " << e.signal;
        ASSERT_TRUE(rig::waitPort(port, 30000)) << rig::readFile(log.path());
        // waitPort's own probe connection has a process that may still be ending.
        std::vector<pid_t> pids;
        rig::waitUntil([&] { return (pids = rig::pidsOf("gatex1d")).size() <= 1; }, kT, 20);
        ASSERT_EQ(pids.size(), 1u);
        mainPid = pids[0];
    }
    std::string ask(rig::ProtoClient& c, const std::string& line) {
        auto r = c.request(line + "\n", kT);
        return r.value_or("(no answer)");
    }
    std::string ask(const std::string& line, int port = kPort) {
        rig::ProtoClient c;
        if (!c.connect("127.0.0.1", port, kT)) return "(no connection)";
        return ask(c, line);
    }
    // The log line after mark that contains text; the system log writes a moment
    // after the daemon has sent it, so this waits (bounded) for it.
    std::string logged(const std::string& text, int timeoutMs = 2000) {
        log.waitFor(text, timeoutMs, mark);
        for (const std::string& l : log.lines(mark))
            if (l.find(text) != std::string::npos) return l;
        return "";
    }
    bool segmentExists() { return shmget(1111, 0, 0) >= 0; }
    // Sends sig to pid and waits (bounded) until the process is gone; the time
    // from the signal to its end in ms, -1 when it did not end within 30 s.
    long long stopTime(pid_t pid, int sig, const char* what) {
        long long t0 = rig::nowMs();
        if (kill(pid, sig) != 0) return -1;
        if (!rig::waitUntil([&] { return !alive(pid); }, 30000, 1)) return -1;
        long long ms = rig::nowMs() - t0;
        std::printf("[measured] gatex1d %s, %s: %lld ms from the signal to the end\n", what,
                    sig == SIGTERM ? "SIGTERM" : "SIGHUP", ms);
        return ms;
    }
    static bool alive(pid_t pid) {
        std::string st = rig::readFile("/proc/" + std::to_string(pid) + "/stat");
        size_t p = st.rfind(')');
        return !st.empty() && p != std::string::npos && p + 2 < st.size() && st[p + 2] != 'Z';
    }
    int framesSent() {
        int n = 0;
        for (const std::string& l : busLines())
            if (l.rfind("< %", 0) == 0) n++;
        return n;
    }
    std::vector<std::string> busLines() {
        std::vector<std::string> v;
        std::istringstream in(rig::readFile(busLog));
        std::string l;
        while (std::getline(in, l)) v.push_back(l);
        return v;
    }
};

TEST_F(Gatex1d, StartWithoutConfigurationFails) {
    NEED_RIG();
    rig::Exit e = launch({});
    EXPECT_TRUE(e.exited);
    EXPECT_EQ(e.code, 1);
    EXPECT_TRUE(log.waitFor("gatex1d[", kT, mark));
    auto entry = rig::Syslog::parse(logged("Configuration file unspecified"));
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->priority, "err");
    EXPECT_EQ(entry->message, "Configuration file unspecified");
    EXPECT_NE(logged("gatex1d[" + std::to_string(entry->pid) + "]: exited."), "");
    EXPECT_FALSE(segmentExists());  // the failed start removed what it created

    mark = log.mark();
    e = launch({rig::scratchDir() + "/missing.conf"});
    EXPECT_EQ(e.code, 1);
    EXPECT_NE(logged("No such file or directory, FILE: " + rig::scratchDir() + "/missing.conf"), "");
    EXPECT_FALSE(segmentExists());
}

TEST_F(Gatex1d, SegmentInUseRefusesStartAndLeftoverIsReclaimed) {
    NEED_RIG();
    ASSERT_NO_FATAL_FAILURE(startSim({"--meter", "1:2:1"}));
    writeConf("");
    // A segment of key 1111 someone still has attached: another daemon runs.
    int id = shmget(1111, 4096, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(id, 0);
    void* p = shmat(id, nullptr, 0);
    ASSERT_NE(p, (void*)-1);
    rig::Exit e = launch({conf});
    EXPECT_EQ(e.code, 1);
    EXPECT_NE(logged("shmget() failed."), "");
    EXPECT_TRUE(segmentExists());
    // Left behind by a daemon that died: no one attached, so it is taken back.
    shmdt(p);
    mark = log.mark();
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    EXPECT_NE(logged("removed the unused shared segment of key 1111 left behind."), "");
    struct shmid_ds ds;
    ASSERT_EQ(shmctl(shmget(1111, 0, 0), IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, 144272u);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0600u);
}

TEST_F(Gatex1d, OptionsSettingsLineAndStartupWait) {
    NEED_RIG();
    ASSERT_NO_FATAL_FAILURE(startSim({"--meter", "1:2:1"}));
    writeConf("baud=2400\nstartupwait=2\nmaxleaves=4\n");
    rig::Exit e = launch({"-x", "-v", conf, "ignored"});
    ASSERT_TRUE(e.exited && e.code == 0);
    // The port stays closed during the start-up wait.
    EXPECT_FALSE(rig::waitPort(kPort, 1000));
    EXPECT_TRUE(rig::waitPort(kPort, 30000));
    EXPECT_NE(logged("user.warn gatex1d["), "");
    EXPECT_NE(logged("]: unknown option -x ignored"), "");
    EXPECT_EQ(logged("unknown option -v"), "");
    std::string settings = "port=1111, maxifs=10, pm_device=" + dev +
                           ", pm_baud=B9600, pm_startupwait=2, pm_maxnodes=5, pm_maxleaves=4";
    auto entry = rig::Syslog::parse(logged(settings));
    ASSERT_TRUE(entry.has_value()) << settings;
    EXPECT_EQ(entry->priority, "info");
    EXPECT_EQ(entry->message, settings);
    EXPECT_EQ(ask("?cmd=get_leaves"), "?cmd=get_leaves&status=OK&val=1_1\n");
}

TEST_F(Gatex1d, ScanLeavesAndEveryReading) {
    NEED_RIG();
    ASSERT_NO_FATAL_FAILURE(startSim({"--meter", "2:1:1,2", "--meter", "5:2:1,3", "--reg32", "5:340=12345",
                                      "--reg32", "2:122=12345", "--reg", "2:148=97", "--meter", "4:2:1",
                                      "--error-reg", "4:120:61", "--meter", "99:2:1"}));
    writeConf("");
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    // Scan frames, station by station, in order.
    auto bus = busLines();
    ASSERT_GE(bus.size(), 5u);
    EXPECT_EQ(bus[0], "< %01#RDD0012600129**\\r");
    EXPECT_EQ(bus[1], "- ");
    EXPECT_EQ(bus[2], "< %02#RDD0012600129**\\r");
    EXPECT_EQ(bus[4], "< %02#RDD0014000143**\\r");

    rig::ProtoClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", kPort, kT));
    EXPECT_EQ(ask(c, "?cmd=get_leaves"), "?cmd=get_leaves&status=OK&val=2_1,2_2,4_1,5_1,5_3\n");
    EXPECT_EQ(ask(c, "?cmd=get_leaves_ex"), "?cmd=get_leaves_ex&status=OK&val=2_1_w2,2_2_w2,4_1_w3,5_1_w3,5_3_w3\n");
    struct Case {
        const char* req;
        const char* want;
    } cases[] = {
        {"?cmd=get_value&node=5&leaf=3&toq=ip", "?cmd=get_value&status=OK&val=12.345\n"},
        {"?cmd=get_value&node=2&leaf=2&toq=ipc", "?cmd=get_value&status=OK&val=123.45\n"},
        {"?cmd=get_value&node=2&leaf=1&toq=pf", "?cmd=get_value&status=OK&val=97\n"},
        {"?cmd=get_value&node=2&leaf=1&toq=v", "?cmd=get_value&status=OK&val=22.4\n"},   // 224
        {"?cmd=get_value&node=5&toq=cr", "?cmd=get_value&status=OK&val=5.34\n"},         // 534
        {"?cmd=get_value&node=99&leaf=1&toq=ct", "?cmd=get_value&status=OK&val=99.38\n"}, // on demand
        {"?cmd=get_value&node=4&leaf=1&toq=ipc", "?cmd=get_value&status=ENODEERR&val=61\n"},
        {"?cmd=get_value&node=3&leaf=1&toq=ip", "?cmd=get_value&status=ENONODE&val=3\n"},
        {"?cmd=get_value&node=-2&leaf=1&toq=ip", "?cmd=get_value&status=ENONODE&val=-2\n"},
        {"?cmd=get_value&node=5&leaf=2&toq=ip", "?cmd=get_value&status=ENOLEAF&val=5_2\n"},
        {"?cmd=get_value&node=5&leaf=40&toq=ip", "?cmd=get_value&status=ENOLEAF&val=5_40\n"},
        {"?cmd=get_value&node=5&leaf=1&toq=v", "?cmd=get_value&status=EINVALTOQ&val=v\n"},
        {"?cmd=get_value&node=2&leaf=1&toq=vrn", "?cmd=get_value&status=EINVALTOQ&val=vrn\n"},
        {"?cmd=get_value&node=5&leaf=1", "?cmd=get_value&status=EINVALTOQ&val=\n"},
        {"?cmd=get_ifs", "?cmd=get_ifs&status=OK&val=lo\n"},
        {"?cmd=get_hwaddr&if=lo", "?cmd=get_hwaddr&status=OK&val=00:00:00:00:00:00\n"},
        {"?cmd=get_hwaddr", "?cmd=get_hwaddr&status=OK&val=\n"},  // no eth0 in the rig
        {"?cmd=version", "?cmd=version&status=OK&val=1.18 (Dec 20 2011 10:53:25)\n"},
        {"?cmd=rescan&node=6", "?cmd=rescan&status=EINVALNODE&val=6\n"},
        {"?cmd=rescan&node=-1", "?cmd=rescan&status=EINVALNODE&val=-1\n"},
        {"?cmd=bogus", "?cmd=bogus&status=EINVALCMD\n"},
    };
    for (const Case& k : cases) EXPECT_EQ(ask(c, k.req), k.want) << k.req;
    EXPECT_EQ(ask(c, "?cmd=get_value&node=150&toq=ip").rfind("?cmd=get_value&status=OK&val=", 0), 0u);
    // Station 99 is above maxnodes: readable, not listed.
    EXPECT_EQ(ask(c, "?cmd=get_leaves"), "?cmd=get_leaves&status=OK&val=2_1,2_2,4_1,5_1,5_3\n");
}

TEST_F(Gatex1d, BadAnswersSilenceAndVerboseTraces) {
    NEED_RIG();
    ASSERT_NO_FATAL_FAILURE(startSim({"--meter", "1:2:1", "--meter", "2:2:1", "--meter", "3:2:1",
                                      "--reg32", "1:140=1234"}));
    writeConf("");
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    simControl("short 2");
    simControl("garbage 3");
    rig::ProtoClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", kPort, kT));
    EXPECT_EQ(ask(c, "?cmd=get_value&node=2&toq=ip"), "?cmd=get_value&status=EINVALNODERES\n");
    EXPECT_EQ(ask(c, "?cmd=get_value&node=3&toq=ip"), "?cmd=get_value&status=EINVALNODERES\n");
    simControl("silent 1");
    long long t0 = rig::nowMs();
    EXPECT_EQ(ask(c, "?cmd=get_value&node=1&toq=ip&timeout=300"), "?cmd=get_value&status=EINVALNODERES\n");
    EXPECT_GE(rig::nowMs() - t0, 250);
    simControl("normal 1");

    ASSERT_TRUE(c.sendLine("!v\r\n"));
    EXPECT_EQ(c.readLine(kT).value_or(""), "!v. OK, verbose-mode on.\n");
    ASSERT_TRUE(c.sendLine("?cmd=get_value&node=1&leaf=1&toq=ip\n"));
    EXPECT_EQ(c.readLine(kT).value_or(""), "!send '%01#RDD0014000141**\\r' to node-network.\n");
    EXPECT_EQ(c.readLine(kT).value_or(""), "!'%01$RDD204000064\\n' is received from node-network.\n");
    EXPECT_EQ(c.readLine(kT).value_or(""), "?cmd=get_value&status=OK&val=1.234\n");
    ASSERT_TRUE(c.sendLine("?cmd=get_value&node=123&toq=x\n"));
    EXPECT_EQ(c.readLine(kT).value_or(""), "!99 < node: 123, return a dummy response.\n");
    std::string dummy = c.readLine(kT).value_or("");
    double v = atof(dummy.substr(dummy.find("val=") + 4).c_str());
    EXPECT_NEAR(v, (double)time(nullptr) / 100.0, 1.0) << dummy;

    // Raw pass-through: escapes undone, a carriage return added, the answer escaped.
    ASSERT_TRUE(c.sendLine("!!%01#RDD0014000141**\r\n"));
    EXPECT_EQ(c.readLine(kT).value_or(""),
              "!!%01#RDD0014000141**. OK, send %01#RDD0014000141** to node-network.\n");
    EXPECT_EQ(c.readLine(kT).value_or(""), "!'%01$RDD204000064\\n' is received from node-network.\n");
    ASSERT_TRUE(c.sendLine("!!%01#RDD0014000141**\\r\r\n"));
    c.readLine(kT);
    EXPECT_EQ(c.readLine(kT).value_or(""), "!'%01$RDD204000064\\n' is received from node-network.\n");
    EXPECT_EQ(busLines().back(), "> %01$RDD204000064\\r");
    ASSERT_TRUE(c.sendLine("!!%07#RDD0014000141**\r\n"));  // no such station
    c.readLine(kT);
    EXPECT_EQ(c.readLine(kT).value_or(""), "!'' is received from node-network.\n");
    ASSERT_TRUE(c.sendLine("!s\r\n"));
    EXPECT_EQ(c.readLine(kT).value_or(""), "!s. OK, verbose-mode off.\n");
    EXPECT_EQ(ask(c, "?cmd=get_value&node=1&leaf=1&toq=ip"), "?cmd=get_value&status=OK&val=1.234\n");
    EXPECT_TRUE(c.skipped().empty());
    ASSERT_TRUE(c.sendLine("!V\r\n"));
    EXPECT_EQ(c.readLine(kT).value_or(""), "!V. OK, gatex1d version:1.18 (Dec 20 2011 10:53:25).\n");
}

TEST_F(Gatex1d, DeviceFailures) {
    NEED_RIG();
    ASSERT_NO_FATAL_FAILURE(startSim({"--meter", "1:2:1"}));
    writeConf("maxnodes=1\n");
    // The serial driver rejects TIOCGSERIAL with EINVAL: still opened (information
    // only). The 3rd terminal-settings read (scan, reading, reading) fails.
    ASSERT_NO_FATAL_FAILURE(startDaemon({"ORV_SHIM_FAIL=tiocgserial:EINVAL,tcgetattr@3:EIO"}));
    auto info = rig::Syslog::parse(logged("ioctl(TIOCGSERIAL) returns EINVAL"));
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->priority, "info");
    EXPECT_EQ(info->message, "ioctl(TIOCGSERIAL) returns EINVAL. So this device seems not to be setup with TIOCSSERIAL.");
    EXPECT_NE(logged("user.warn gatex1d[" + std::to_string(mainPid) + "]: failed to get serial info: " + dev), "");
    rig::ProtoClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", kPort, kT));
    EXPECT_EQ(ask(c, "?cmd=get_value&node=1&toq=ip"), "?cmd=get_value&status=OK&val=0.140\n");
    EXPECT_EQ(ask(c, "?cmd=get_value&node=1&toq=ip"), "?cmd=get_value&status=ENODEV&val=" + dev + "\n");
    EXPECT_NE(logged("failed to get attributes of device file: " + dev), "");
    EXPECT_EQ(ask(c, "?cmd=get_value&node=1&toq=ip"), "?cmd=get_value&status=OK&val=0.140\n");
    // The device is gone (the simulator ended): ENODEV for readings and raw frames.
    sim->stop();
    sim.reset();
    EXPECT_EQ(ask(c, "?cmd=get_value&node=1&toq=ip"), "?cmd=get_value&status=ENODEV&val=" + dev + "\n");
    EXPECT_NE(logged("failed to open device file: " + dev), "") << rig::readFile(log.path());
    ASSERT_TRUE(c.sendLine("!!abc\r\n"));
    EXPECT_EQ(c.readLine(kT).value_or(""), "!!abc. OK, send abc to node-network.\n");
    EXPECT_EQ(c.readLine(kT).value_or(""), "status=ENODEV&value=" + dev + "\n");
    EXPECT_EQ(ask(c, "?cmd=hello"), "?cmd=hello&status=OK\n");
}

TEST_F(Gatex1d, SerialInfoFailureOtherThanEinval) {
    NEED_RIG();
    ASSERT_NO_FATAL_FAILURE(startSim({"--meter", "1:2:1"}));
    writeConf("maxnodes=1\n");
    ASSERT_NO_FATAL_FAILURE(startDaemon({"ORV_SHIM_FAIL=tiocgserial@2:EIO,tiocsserial@2:EPERM",
                                         "ORV_SHIM_LOG=" + rig::scratchDir() + "/shim.log"}));
    // Scan: the first of each call. Then a failed TIOCGSERIAL, a failed TIOCSSERIAL.
    EXPECT_EQ(ask("?cmd=get_value&node=1&toq=ip"), "?cmd=get_value&status=ENODEV&val=" + dev + "\n");
    EXPECT_NE(logged("]: ioctl(TIOCGSERIAL) failed for errno: 5, (!= EINVAL)"), "");
    EXPECT_EQ(ask("?cmd=get_value&node=1&toq=ip"), "?cmd=get_value&status=ENODEV&val=" + dev + "\n");
    EXPECT_NE(logged("failed to set serial info: " + dev), "") << rig::readFile(rig::scratchDir() + "/shim.log");
    EXPECT_EQ(ask("?cmd=get_value&node=1&toq=ip"), "?cmd=get_value&status=OK&val=0.140\n");
}

TEST_F(Gatex1d, Rescan) {
    NEED_RIG();
    ASSERT_NO_FATAL_FAILURE(startSim({"--meter", "1:2:1", "--meter", "2:1:1,2"}));
    writeConf("");
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    EXPECT_EQ(ask("?cmd=get_leaves"), "?cmd=get_leaves&status=OK&val=1_1,2_1,2_2\n");
    simControl("meter 4:2:1,2");
    EXPECT_EQ(ask("?cmd=rescan&node=4"), "?cmd=rescan&status=OK\n");
    EXPECT_EQ(ask("?cmd=get_leaves"), "?cmd=get_leaves&status=OK&val=1_1,2_1,2_2,4_1,4_2\n");
    simControl("silent 1");
    simControl("remove 2");
    EXPECT_EQ(ask("?cmd=rescan"), "?cmd=rescan&status=OK\n");
    EXPECT_EQ(ask("?cmd=get_leaves"), "?cmd=get_leaves&status=OK&val=4_1,4_2\n");
    EXPECT_EQ(ask("?cmd=get_leaves_ex"), "?cmd=get_leaves_ex&status=OK&val=4_1_w3,4_2_w3\n");
    simControl("silent 4");
    EXPECT_EQ(ask("?cmd=rescan&node=0"), "?cmd=rescan&status=OK\n");
    EXPECT_EQ(ask("?cmd=get_leaves"), "?cmd=get_leaves&status=OK&val=\n");
}

TEST_F(Gatex1d, HupRereadsConfigurationAndKillFollowsTheNewMainProcess) {
    NEED_RIG();
    ASSERT_NO_FATAL_FAILURE(startSim({"--meter", "1:2:1"}));
    writeConf("maxleaves=2\n");
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    pid_t first = mainPid;
    rig::ProtoClient old;  // opened before the restart, used after it
    ASSERT_TRUE(old.connect("127.0.0.1", kPort, kT));
    EXPECT_EQ(ask(old, "?cmd=hello"), "?cmd=hello&status=OK\n");

    simControl("meter 2:2:1");
    {
        // The new file has another port and no maxleaves line: maxleaves keeps 2.
        std::ofstream f(conf);
        f << "port=1120\ndevice=" << dev << "\nmaxnodes=5\n";
    }
    mark = log.mark();
    rig::ProtoClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", kPort, kT));
    EXPECT_EQ(ask(c, "?cmd=hup"), "?cmd=hup&status=OK\n");
    EXPECT_TRUE(c.closed(kT));
    ASSERT_TRUE(rig::waitPort(1120, 30000));
    EXPECT_NE(logged("port=1120, maxifs=10, pm_device=" + dev +
                     ", pm_baud=B9600, pm_startupwait=0, pm_maxnodes=5, pm_maxleaves=2"), "");
    // The old connection's process and the new main process. waitPort's probe
    // connection has a process of its own that may still be ending (under ASan
    // a fork and exit take long enough to be seen), as may the process of the
    // connection that asked for the restart: wait (bounded) for them to go.
    std::vector<pid_t> pids;
    rig::waitUntil([&] { return (pids = rig::pidsOf("gatex1d")).size() <= 2; }, kT, 20);
    ASSERT_EQ(pids.size(), 2u);
    EXPECT_EQ(std::find(pids.begin(), pids.end(), first), pids.end());
    EXPECT_EQ(ask("?cmd=get_leaves", 1120), "?cmd=get_leaves&status=OK&val=1_1,2_1\n");
    EXPECT_TRUE(segmentExists());

    // The connection from before the restart still answers, and its kill reaches
    // the main process of now.
    mark = log.mark();
    EXPECT_EQ(ask(old, "?cmd=get_value&node=2&toq=ip"), "?cmd=get_value&status=OK&val=0.240\n");
    EXPECT_EQ(ask(old, "?cmd=kill"), "?cmd=kill&status=OK\n");
    EXPECT_TRUE(old.closed(kT));
    EXPECT_TRUE(log.waitFor("exited.", kT, mark));
    EXPECT_TRUE(rig::waitUntil([] { return rig::pidsOf("gatex1d").empty(); }, kT, 20));
    EXPECT_FALSE(segmentExists());
}

TEST_F(Gatex1d, MetaKillAndHup) {
    NEED_RIG();
    ASSERT_NO_FATAL_FAILURE(startSim({"--meter", "1:2:1"}));
    writeConf("");
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    rig::ProtoClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", kPort, kT));
    ASSERT_TRUE(c.sendLine("!h\r\n"));
    EXPECT_EQ(c.readLine(kT).value_or(""), "!h. OK, trying to restart me.\n");
    EXPECT_TRUE(c.closed(kT));
    EXPECT_TRUE(log.waitFor("pm_maxleaves=8", 30000, mark, 2));
    ASSERT_TRUE(rig::waitPort(kPort, 30000));
    rig::ProtoClient k;
    ASSERT_TRUE(k.connect("127.0.0.1", kPort, kT));
    ASSERT_TRUE(k.sendLine("!kill\r\n"));
    EXPECT_EQ(k.readLine(kT).value_or(""), "!kill. OK, trying to kill me.\n");
    EXPECT_TRUE(log.waitFor("exited.", kT, mark));
    // "exited." is logged just before the main process ends; the listener goes
    // with the process, so wait (bounded) for every gatex1d process to be gone.
    EXPECT_TRUE(rig::waitUntil([] { return rig::pidsOf("gatex1d").empty(); }, kT, 20));
    EXPECT_FALSE(rig::waitPort(kPort, 300));
}

TEST_F(Gatex1d, LockSerialisesConnectionsAndSurvivesAKilledHolder) {
    NEED_RIG();
    ASSERT_NO_FATAL_FAILURE(startSim({"--meter", "1:2:1", "--reg32", "1:140=1234"}));
    writeConf("maxnodes=1\n");
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    simControl("delay 300");
    // Two connections at once: both answered, exchanges one after the other.
    std::string a, b;
    std::thread ta([&] { a = ask("?cmd=get_value&node=1&toq=ip&timeout=2000"); });
    std::thread tb([&] { b = ask("?cmd=get_value&node=1&toq=ip&timeout=2000"); });
    ta.join();
    tb.join();
    EXPECT_EQ(a, "?cmd=get_value&status=OK&val=1.234\n");
    EXPECT_EQ(b, "?cmd=get_value&status=OK&val=1.234\n");
    auto bus = busLines();
    ASSERT_GE(bus.size(), 4u);
    EXPECT_EQ(bus[bus.size() - 4][0], '<');
    EXPECT_EQ(bus[bus.size() - 3][0], '>');
    EXPECT_EQ(bus[bus.size() - 2][0], '<');
    EXPECT_EQ(bus[bus.size() - 1][0], '>');

    // A connection process killed while it holds the lock gives it back.
    simControl("delay 3000");
    lockholder::Outcome o =
        lockholder::killLockHolder("gatex1d", kPort, "?cmd=get_value&node=1&toq=ip&timeout=5000\n", "", kT);
    ASSERT_EQ(o.error, "");
    EXPECT_TRUE(o.holderClosed);
    // The simulator applies a setting once it has finished the answer nobody reads
    // any more, so this also waits for that answer to be off the line.
    simControl("delay 0");
    EXPECT_EQ(ask("?cmd=get_value&node=1&toq=ip"), "?cmd=get_value&status=OK&val=1.234\n");
    EXPECT_EQ(ask("?cmd=hello"), "?cmd=hello&status=OK\n");
}

TEST_F(Gatex1d, BindRetriesUntilThePortIsFree) {
    NEED_RIG();
    ASSERT_NO_FATAL_FAILURE(startSim({"--meter", "1:2:1"}));
    writeConf("maxnodes=1\n");
    int s = holdPort();
    ASSERT_GE(s, 0);
    rig::Exit e = launch({conf});
    ASSERT_EQ(e.code, 0);
    EXPECT_TRUE(log.waitFor("bind: Address already in use, retry", 10000, mark));
    auto entry = rig::Syslog::parse(logged("bind: Address already in use, retry"));
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->priority, "warn");
    close(s);
    // The next attempt, 30 seconds after the first, succeeds.
    EXPECT_TRUE(rig::waitPort(kPort, 40000));
    EXPECT_EQ(log.count("bind: Address already in use, retry", mark), 1);
    EXPECT_EQ(ask("?cmd=hello"), "?cmd=hello&status=OK\n") << rig::readFile(log.path());
}

TEST_F(Gatex1d, SigtermEndsTheDaemonAndRemovesTheSegment) {
    NEED_RIG();
    ASSERT_NO_FATAL_FAILURE(startSim({"--meter", "1:2:1"}));
    writeConf("");
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    rig::ProtoClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", kPort, kT));
    EXPECT_EQ(ask(c, "?cmd=hello"), "?cmd=hello&status=OK\n");
    ASSERT_EQ(kill(mainPid, SIGTERM), 0);
    EXPECT_TRUE(log.waitFor("gatex1d[" + std::to_string(mainPid) + "]: exited.", kT, mark));
    EXPECT_FALSE(segmentExists());
    // A connection that was open is not signalled.
    EXPECT_EQ(ask(c, "?cmd=hello"), "?cmd=hello&status=OK\n");
}

// After a hup, the restarted main process scans first, and a connection's long
// reading (its timeout is the client's to choose) holds the device lock. A stop
// or a further restart asked for while the main process waits for the lock is
// acted on at once: it neither waits for the reading nor opens the device after
// it; the reading's connection finishes and gets its answer.
TEST_F(Gatex1d, StopOrRestartWhileWaitingForTheLockOfALongReading) {
    NEED_RIG();
    ASSERT_NO_FATAL_FAILURE(startSim({"--meter", "1:2:1", "--reg32", "1:140=1234"}));
    writeConf("");
    for (int sig : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "SIGHUP");
        mark = log.mark();
        ASSERT_NO_FATAL_FAILURE(startDaemon());
        pid_t first = mainPid;
        simControl("delay 6000");
        int before = framesSent();
        std::string answer;
        std::thread reading([&] {
            rig::ProtoClient c;
            if (c.connect("127.0.0.1", kPort, kT))
                answer = c.request("?cmd=get_value&node=1&toq=ip&timeout=9000\n", 15000).value_or("(no answer)");
        });
        // Joined on every way out of this case, failed checks included.
        struct Join {
            std::thread& t;
            ~Join() {
                if (t.joinable()) t.join();
            }
        } join{reading};
        // The reading holds the lock once its frame is on the line.
        ASSERT_TRUE(rig::waitUntil([&] { return framesSent() > before; }, kT));
        int sent = framesSent();
        // The reading's own process: the one that is not the main process.
        pid_t conn = -1;
        ASSERT_TRUE(rig::waitUntil([&] {
            for (pid_t p : rig::pidsOf("gatex1d"))
                if (p != first && alive(p)) conn = p;
            return conn > 0;
        }, kT));
        ASSERT_EQ(kill(first, SIGHUP), 0);
        ASSERT_TRUE(log.waitFor("pm_maxnodes=5", kT, mark, 2)) << rig::readFile(log.path());
        // The restarted main process is a new one (it became a daemon again).
        pid_t second = -1;
        ASSERT_TRUE(rig::waitUntil([&] {
            for (pid_t p : rig::pidsOf("gatex1d"))
                if (p != first && p != conn && alive(p)) second = p;
            return second > 0 && !alive(first);
        }, kT));
        long long ms = stopTime(second, sig, "waiting for the device lock");
        EXPECT_GE(ms, 0);
        EXPECT_LE(ms, kStopBound);
        if (sig == SIGTERM) {
            EXPECT_TRUE(log.waitFor("gatex1d[" + std::to_string(second) + "]: exited.", kT, mark));
            EXPECT_FALSE(segmentExists());
        } else {
            EXPECT_TRUE(log.waitFor("pm_maxnodes=5", kT, mark, 3));
        }
        reading.join();
        EXPECT_EQ(answer, "?cmd=get_value&status=OK&val=1.234\n");
        if (sig == SIGTERM) {
            // Nothing went out on the line after the reading.
            EXPECT_EQ(framesSent(), sent);
        }
        gatex1dt::endGatex1d();
        // Applied once the answer on the line is finished.
        ASSERT_TRUE(sim->control("delay 0", 15000)) << sim->error();
    }
}

// The bind retry's 30 s sleep ends at the stop.
TEST_F(Gatex1d, StopDuringTheBindRetrySleep) {
    NEED_RIG();
    ASSERT_NO_FATAL_FAILURE(startSim({"--meter", "1:2:1"}));
    writeConf("maxnodes=1\n");
    int s = holdPort();
    ASSERT_GE(s, 0);
    rig::Exit e = launch({conf});
    ASSERT_EQ(e.code, 0);
    ASSERT_TRUE(log.waitFor("bind: Address already in use, retry", 10000, mark));
    auto pids = rig::pidsOf("gatex1d");
    ASSERT_EQ(pids.size(), 1u);
    long long ms = stopTime(pids[0], SIGTERM, "in the bind retry's sleep");
    EXPECT_GE(ms, 0);
    EXPECT_LE(ms, kStopBound);
    EXPECT_TRUE(log.waitFor("gatex1d[" + std::to_string(pids[0]) + "]: exited.", kT, mark));
    EXPECT_FALSE(segmentExists());
    EXPECT_EQ(log.count("bind: Address already in use, retry", mark), 1);
    close(s);
}

// 99 stations, none of which answers: the scan alone would take 99 probes of half
// a second. A stop or restart asked for during the start-up wait or a scan is
// acted on at the next probe, not after the last station. Counted in probes the
// simulator saw, never in seconds.
class Gatex1dScanSignals : public Gatex1d {
protected:
    int probes() {
        int n = 0;
        for (const std::string& l : busLines())
            if (l.rfind("< %", 0) == 0) n++;
        return n;
    }
    bool probed(int station) {
        char f[16];
        snprintf(f, sizeof f, "< %%%02d#", station);
        for (const std::string& l : busLines())
            if (l.rfind(f, 0) == 0) return true;
        return false;
    }
    // Waits (bounded) until at least n probes went out.
    bool waitProbes(int n) {
        return rig::waitUntil([&] { return probes() >= n; }, 20000, 20);
    }
    // The one gatex1d process (before the listener there are no others).
    pid_t onlyPid() {
        auto pids = rig::pidsOf("gatex1d");
        return pids.size() == 1 ? pids[0] : -1;
    }
    bool waitGone() {
        return rig::waitUntil([] { return rig::pidsOf("gatex1d").empty(); }, 20000, 20);
    }
    void writeConf99(const std::string& extra) {
        std::ofstream f(conf);
        f << "port=" << kPort << "\ndevice=" << dev << "\nmaxnodes=99\n" << extra;
    }
};

TEST_F(Gatex1dScanSignals, SigtermDuringTheStartupWaitOrTheScanEndsAtTheNextProbe) {
    NEED_RIG();
    ASSERT_NO_FATAL_FAILURE(startSim({}));
    struct Case {
        const char* conf;
        int probesFirst;  // the SIGTERM comes after this many probes
    } cases[] = {
        {"startupwait=600\n", 0},  // in the start-up wait
        {"", 3},                    // in the scan
    };
    for (const Case& c : cases) {
        // The simulator's log goes on across the cases: count from here.
        int base = probes();
        mark = log.mark();
        writeConf99(c.conf);
        rig::Exit e = launch({conf});
        ASSERT_TRUE(e.exited && e.code == 0);
        ASSERT_TRUE(log.waitFor("pm_maxnodes=99", kT, mark));
        if (c.probesFirst > 0) {
            ASSERT_TRUE(waitProbes(base + c.probesFirst)) << rig::readFile(busLog);
        }
        pid_t pid = onlyPid();
        ASSERT_GT(pid, 0);
        int before = probes();
        long long ms = stopTime(pid, SIGTERM, c.probesFirst ? "between scan probes" : "in the start-up wait");
        EXPECT_GE(ms, 0) << c.conf;
        EXPECT_LE(ms, kStopBound) << c.conf;
        EXPECT_TRUE(waitGone()) << c.conf;
        EXPECT_TRUE(log.waitFor("gatex1d[" + std::to_string(pid) + "]: exited.", kT, mark));
        // At most the probe under way and one that went out as the signal came.
        EXPECT_LE(probes(), before + 2) << c.conf;
        EXPECT_FALSE(probed(99));
        if (c.probesFirst == 0) {
            EXPECT_EQ(probes(), base);
        }
        EXPECT_FALSE(segmentExists());
    }
}

TEST_F(Gatex1dScanSignals, SighupDuringTheScanRestartsAtOnce) {
    NEED_RIG();
    ASSERT_NO_FATAL_FAILURE(startSim({}));
    writeConf99("");
    rig::Exit e = launch({conf});
    ASSERT_TRUE(e.exited && e.code == 0);
    ASSERT_TRUE(waitProbes(3));
    pid_t first = onlyPid();
    ASSERT_GT(first, 0);
    int before = probes();
    long long ms = stopTime(first, SIGHUP, "between scan probes");
    EXPECT_GE(ms, 0);
    EXPECT_LE(ms, kStopBound);
    // The restart reads the configuration again and scans from station 1 again,
    // the first scan having stopped at its next probe.
    ASSERT_TRUE(log.waitFor("pm_maxnodes=99", kT, mark, 2));
    ASSERT_TRUE(waitProbes(before + 3));
    auto bus = busLines();
    int ones = 0, firstScan = 0;
    for (const std::string& l : bus) {
        if (l.rfind("< %01#", 0) == 0) ones++;
        if (ones == 1 && l.rfind("< %", 0) == 0) firstScan++;
    }
    EXPECT_EQ(ones, 2);
    EXPECT_LE(firstScan, before + 2);
    // The restarted daemon (a new process) ends at its next probe as well.
    pid_t second = -1;
    rig::waitUntil([&] {
        second = onlyPid();
        if (second == first) second = -1;
        return second > 0;
    }, kT, 20);
    ASSERT_GT(second, 0);
    before = probes();
    ms = stopTime(second, SIGTERM, "between scan probes after a restart");
    EXPECT_GE(ms, 0);
    EXPECT_LE(ms, kStopBound);
    EXPECT_TRUE(waitGone());
    EXPECT_LE(probes(), before + 2);
    EXPECT_FALSE(probed(99));
}

}  // namespace
