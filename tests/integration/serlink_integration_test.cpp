// serlink in the appliance rig: the real daemon on a pty (through the serial
// shim) against the sensor-network simulator, real System V queues with this
// test as the commander, and the real system log.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <regex>
#include <string>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "rig.h"
#include "sensornet_model.h"
#include "zrmsg.h"

namespace {

#define NEED_RIG() \
    if (!rig::inRig()) GTEST_SKIP() << "needs the appliance rig (tests/rig/rig)"

const int kReq = 1000, kAns = 2000;

// The simulator, with the slave path it printed first.
struct Sim {
    rig::Process proc;
    std::string slave, log;
    bool start(const std::vector<std::string>& nodes, const std::string& name) {
        log = rig::scratchDir() + "/" + name + ".frames";
        unlink(log.c_str());
        std::string out = rig::scratchDir() + "/" + name + ".sim.out";
        std::vector<std::string> argv = {rig::binDir() + "/sensornet", "--log", log};
        argv.insert(argv.end(), nodes.begin(), nodes.end());
        rig::Process::Options o;
        o.stdoutPath = out;
        if (!proc.start(argv, o)) return false;
        std::string text;
        if (!rig::waitUntil([&] { return (text = rig::readFile(out)).find('\n') != std::string::npos; }, 5000))
            return false;
        slave = text.substr(0, text.find('\n'));
        return true;
    }
    // The command frames the nodes received ("ok BODY" lines).
    std::vector<std::string> frames() const {
        std::vector<std::string> v;
        std::string t = rig::readFile(log);
        for (size_t p = 0, nl; (nl = t.find('\n', p)) != std::string::npos; p = nl + 1)
            v.push_back(t.substr(p, nl - p));
        return v;
    }
};

std::string ini(const std::string& device, long timeout = 200000) {
    return "[SERIAL]\ndevice=" + device + "\nbaud=19200\ntimeout=" + std::to_string(timeout) +
           "\n[ZR11ACOMMAND]\nmaxnodes=15\n[MSGQUE]\nkey1=1000\nkey2=2000\n";
}

// The commander's side: the answer queue and one exchange at a time.
class Commander {
public:
    int ansq = -1;
    int seq = 0;
    int late = 0;  // answers with another seq, thrown away as the commander does
    Commander() { ansq = msgget(kAns, IPC_CREAT | 0666); }
    ~Commander() {
        if (ansq >= 0) msgctl(ansq, IPC_RMID, nullptr);
    }
    int reqq() const { return msgget(kReq, 0); }
    bool waitReqQueue(int ms) {
        return rig::waitUntil([&] { return reqq() >= 0; }, ms);
    }
    // Sends; returns the seq used (or -1 when the send failed).
    int send(int cmd, char node = '0', char param = '0') {
        MsgRequest r;
        zr_make_request(r, cmd, node, param, ++seq);
        int q = reqq();
        if (q < 0 || zr_send_request(q, r) != 0) return -1;
        return seq;
    }
    std::optional<MsgAnswer> await(int want, int ms) {
        MsgAnswer a;
        bool got = rig::waitUntil([&] {
            // Answers to earlier requests are taken and thrown away without a pause.
            while (zr_recv_answer(ansq, a, IPC_NOWAIT) == (ssize_t)ZR_ANS_TEXT) {
                if (a.seq == want) return true;
                late++;
            }
            return false;
        }, ms, 5);
        if (!got) return std::nullopt;
        return a;
    }
    std::optional<MsgAnswer> exchange(int cmd, char node = '0', char param = '0', int ms = 3000) {
        int s = send(cmd, node, param);
        if (s < 0) return std::nullopt;
        return await(s, ms);
    }
};

// serlink started in its own folder with the given configuration.
struct Serlink {
    rig::Process proc;
    std::string dir, out;
    bool start(const std::string& name, const std::optional<std::string>& config,
               const std::vector<std::string>& env = {}) {
        dir = rig::scratchDir() + "/" + name;
        mkdir(dir.c_str(), 0755);
        std::string cfg = dir + "/ZR1Communicator.ini";
        unlink(cfg.c_str());
        if (config && !rig::writeFile(cfg, *config)) return false;
        out = dir + "/serlink.out";
        rig::Process::Options o;
        o.shim = true;
        o.cwd = dir;
        o.stdoutPath = out;
        o.stderrPath = dir + "/serlink.err";
        o.env = env;
        return proc.start({rig::binDir() + "/serlink"}, o);
    }
    std::string console() const { return rig::readFile(out); }
};

std::string row(const MsgAnswer& a, int n) { return std::string(a.chtable[n], 16); }
bool zero(const void* p, size_t n) {
    const char* b = (const char*)p;
    for (size_t i = 0; i < n; i++)
        if (b[i]) return false;
    return true;
}
// The frame a simulated node sends for a leaf scan, without its CR.
std::string scanFrame(const std::string& desc) {
    sensornet::Node n;
    std::string err;
    sensornet::parse_node(desc, n, err);
    std::string f = sensornet::make_frame(sensornet::scan_body(n));
    return f.substr(0, f.size() - 1);
}
bool contains(const std::vector<std::string>& v, const std::string& s) {
    for (auto& x : v)
        if (x == s) return true;
    return false;
}

class SerlinkRig : public ::testing::Test {
protected:
    rig::Syslog log;
    rig::Syslog::Mark mark = 0;
    std::string name;
    void SetUp() override {
        if (!rig::inRig()) GTEST_SKIP() << "needs the appliance rig (tests/rig/rig)";
        mark = log.mark();
        name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    // serlink's lines in the log since the test began, "prio message".
    std::vector<std::string> logged() {
        std::vector<std::string> v;
        for (auto& l : log.lines(mark)) {
            auto e = rig::Syslog::parse(l);
            if (e && e->ident == "serlink") v.push_back(e->priority + " " + e->message);
        }
        return v;
    }
    int countLogged(const std::string& text) {
        int n = 0;
        for (auto& l : logged())
            if (l == text) n++;
        return n;
    }
};

const std::vector<std::string> kNodes = {
    "0:types=10/20",
    "3:types=20/10/00/20,values=00012345/ 123.456/      99/   230.1/   231.2/   5.001/   6.002",
    "5:silent",
    "7:bcc=bad",
    "8:bcc=lower",
    "9:types=10,noise=20,twice,split=30",
    "A:types=20,nogp",
    "B:types=10,mark=00",
};

// serlink on the simulated network of kNodes, one test per command. Commands
// that read the cache come after the ones that fill it.
class SerlinkCommands : public SerlinkRig {
protected:
    Sim sim;
    Commander c;
    Serlink s;
    std::optional<MsgAnswer> a;
    void SetUp() override {
        SerlinkRig::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(sim.start(kNodes, name));
        ASSERT_TRUE(s.start(name, ini(sim.slave)));
        ASSERT_TRUE(c.waitReqQueue(5000));
    }
    void TearDown() override {
        if (!IsSkipped()) {
            EXPECT_EQ(c.late, 0);
        }
    }
    // Every frame of the test went out as one the nodes took (the simulator
    // checked every check value), and these are among them, byte for byte.
    void expectFrames(std::initializer_list<const char*> want) {
        auto frames = sim.frames();
        for (const char* f : want) EXPECT_TRUE(contains(frames, f)) << f;
        for (auto& f : frames) EXPECT_EQ(f.rfind("ok ", 0), 0u) << f;
    }
    void expectConsole(std::initializer_list<const char*> lines) {
        std::string con = s.console();
        for (const char* line : lines) EXPECT_NE(con.find(line), std::string::npos) << line;
    }
    void scanLeaves() {
        for (char node : {'3', '0', '5', '7', '8', '9', 'A', 'B'}) {
            a = c.exchange(ZRCMD_SCANLEAVES, node);
            ASSERT_TRUE(a) << node;
        }
    }
    void checkTypes() {
        for (char node : {'3', '5', '7', 'A', '9'}) {
            a = c.exchange(ZRCMD_CHKTYP20, node);
            ASSERT_TRUE(a) << node;
        }
    }
};

TEST_F(SerlinkCommands, Hello) {
    a = c.exchange(ZRCMD_HELLO);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->type, 1);
    EXPECT_EQ(+a->status, 0);
    EXPECT_EQ(+a->command, ZRCMD_HELLO);
    EXPECT_EQ(+a->seq, c.seq);
    EXPECT_EQ(countLogged("info serlink version 2.0"), 1);
    expectConsole({"[SERIAL]\n", "device=", "baud=19200\n", "timeout=200000\n", "recvkey=1000\n",
                   "sendkey=2000\n", "r_msqid="});
}

TEST_F(SerlinkCommands, ScanChBeforeAnyScanIsEmpty) {
    a = c.exchange(ZRCMD_SCANCH);
    ASSERT_TRUE(a);
    EXPECT_TRUE(zero(a->chtable, ZR_ANS_TEXT - 14));
    expectConsole({"scanch start"});
}

TEST_F(SerlinkCommands, ScanLeaves) {
    struct { char node; int status; const char* row; } scans[] = {
        {'3', 0, "1101000000000000"}, {'0', 0, "1100000000000000"}, {'5', ZRST_TIMEOUT, nullptr},
        {'7', ZRST_BCC, nullptr},     {'8', ZRST_BCC, nullptr},     {'9', 0, "1000000000000000"},
        {'A', 0, "1000000000000000"}, {'B', 0, "1000000000000000"},
    };
    for (auto& sc : scans) {
        a = c.exchange(ZRCMD_SCANLEAVES, sc.node);
        ASSERT_TRUE(a) << sc.node;
        EXPECT_EQ(+a->status, sc.status) << sc.node;
        int n = zr_node_index(sc.node);
        EXPECT_EQ(row(*a, n), sc.row ? sc.row : std::string(16, '0')) << sc.node;
        EXPECT_TRUE(zero(a->chktbl, 64)) << "scanleaves carries no check table";
    }
    EXPECT_EQ(std::string(a->frames[3], 158), scanFrame(kNodes[1]));
    EXPECT_EQ(std::string(a->frames[9], 158), scanFrame(kNodes[5]));
    EXPECT_TRUE(zero(a->frames[5], 158));
    expectFrames({"ok 323", "ok 523", "ok 023"});
    expectConsole({"Rcv finish!!", "BCC ERROR", "Rcv timeout.", "node=3\n"});
}

TEST_F(SerlinkCommands, ChkTyp20) {
    struct { char node; int status; int chk; } checks[] = {
        {'3', 0, ZRCHK_ANSWERED}, {'5', ZRST_TIMEOUT, ZRCHK_SILENT}, {'7', ZRST_BCC, ZRCHK_FAILED},
        {'A', ZRST_TIMEOUT, ZRCHK_SILENT}, {'9', 0, ZRCHK_ANSWERED},
    };
    for (auto& ck : checks) {
        a = c.exchange(ZRCMD_CHKTYP20, ck.node);
        ASSERT_TRUE(a);
        EXPECT_EQ(+a->status, ck.status) << ck.node;
        EXPECT_EQ(zr_chk(*a, zr_node_index(ck.node)), ck.chk) << ck.node;
        EXPECT_TRUE(zero(a->chtable, 256 + 2528)) << "chkTyp20 carries only the check table";
    }
    expectFrames({"ok 3GP"});
    expectConsole({"put_string cmd=16, node=3\n"});
}

TEST_F(SerlinkCommands, ClrChkTyp20ChThenChkTyp20Ch) {
    ASSERT_NO_FATAL_FAILURE(checkTypes());
    a = c.exchange(ZRCMD_CLRCHKTYP20CH, '5');
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, 0);
    a = c.exchange(ZRCMD_CHKTYP20CH);
    ASSERT_TRUE(a);
    EXPECT_EQ(zr_chk(*a, 5), 0);
    EXPECT_EQ(zr_chk(*a, 3), 1);
    EXPECT_EQ(zr_chk(*a, 7), -1);
    EXPECT_EQ(zr_chk(*a, 10), 2);
}

TEST_F(SerlinkCommands, ScanChAfterScansAndChecks) {
    ASSERT_NO_FATAL_FAILURE(scanLeaves());
    ASSERT_NO_FATAL_FAILURE(checkTypes());
    a = c.exchange(ZRCMD_SCANCH);
    ASSERT_TRUE(a);
    EXPECT_EQ(row(*a, 3), "1101000000000000");
    EXPECT_EQ(row(*a, 5), std::string(16, '0'));
    EXPECT_EQ(std::string(a->frames[3], 158), scanFrame(kNodes[1]));
    EXPECT_EQ(zr_chk(*a, 9), 1);
}

// Values: the fields, the mark, date and time.
TEST_F(SerlinkCommands, GetValue) {
    a = c.exchange(ZRCMD_GET_VALUE, '3', '0');
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, 0);
    EXPECT_EQ(std::string(a->valmark, 2), "20");
    EXPECT_EQ(std::string(a->value, 56),
              "00012345 123.456      99   230.1   231.2   5.001   6.002");
    EXPECT_TRUE(std::regex_match(std::string(a->date, 10), std::regex(R"(\d{4}-\d\d-\d\d)")));
    EXPECT_TRUE(std::regex_match(std::string(a->time, 8), std::regex(R"(\d\d:\d\d:\d\d)")));
    EXPECT_TRUE(zero(a->chtable, 256 + 2528));
    a = c.exchange(ZRCMD_GET_VALUE, '0', '1');
    ASSERT_TRUE(a);
    EXPECT_EQ(std::string(a->valmark, 2), "20");
    EXPECT_EQ(std::string(a->value, 8), sensornet::default_value('0', 1, 0));
    a = c.exchange(ZRCMD_GET_VALUE, '3', '2');
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, ZRST_NOLEAF) << "channel 2 is absent: value mark 00";
    a = c.exchange(ZRCMD_GET_VALUE, '5', '0');
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, ZRST_TIMEOUT);
    EXPECT_TRUE(zero(a->date, 100));
    a = c.exchange(ZRCMD_GET_VALUE, '8', '0');
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, ZRST_BCC);
    expectFrames({"ok 300@@@A0", "ok 300@@@A2"});
}

// The time broadcast gets no reply and is still a success.
TEST_F(SerlinkCommands, SetTime) {
    a = c.exchange(ZRCMD_SET_TIME);
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, 0);
    bool broadcast = false;
    for (auto& f : sim.frames())
        broadcast |= std::regex_match(f, std::regex(R"(ok \*20\d{14})"));
    EXPECT_TRUE(broadcast);
    expectFrames({});
}

// Unknown codes and nodes without a place.
TEST_F(SerlinkCommands, UnknownCodesAndRefusedNodes) {
    a = c.exchange(42, 'x', 'y');
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, ZRST_CMDERR);
    EXPECT_EQ(+a->command, 42);
    EXPECT_EQ(a->node, 'x');
    EXPECT_EQ(a->param, 'y');
    size_t before = sim.frames().size();
    for (int cmd : {ZRCMD_SCANLEAVES, ZRCMD_CHKTYP20, ZRCMD_CLRCHKTYP20CH}) {
        a = c.exchange(cmd, 'a');
        ASSERT_TRUE(a);
        EXPECT_EQ(+a->status, ZRST_CMDERR) << cmd;
    }
    EXPECT_EQ(sim.frames().size(), before) << "refused nodes cause no line traffic";
    EXPECT_TRUE(log.waitFor("command error", 2000, mark));
    EXPECT_EQ(countLogged("warn command error"), 1);
}

// get_leaves: every node in turn; the cache stays as it was.
TEST_F(SerlinkCommands, GetLeavesLeavesTheCacheAlone) {
    ASSERT_NO_FATAL_FAILURE(scanLeaves());
    ASSERT_NO_FATAL_FAILURE(checkTypes());
    a = c.exchange(ZRCMD_CLRCHKTYP20CH, '5');
    ASSERT_TRUE(a);
    a = c.exchange(ZRCMD_GET_LEAVES, '0', '0', 10000);
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, ZRST_TIMEOUT) << "the last failing node (F) was silent";
    EXPECT_EQ(row(*a, 0), "1100000000000000");
    EXPECT_EQ(row(*a, 3), "1101000000000000");
    EXPECT_EQ(row(*a, 7), std::string(16, '0'));
    EXPECT_TRUE(zero(a->frames, sizeof a->frames));
    a = c.exchange(ZRCMD_SCANCH);
    ASSERT_TRUE(a);
    EXPECT_EQ(row(*a, 5), std::string(16, '0'));
    EXPECT_EQ(zr_chk(*a, 5), 0);
    expectFrames({"ok 023", "ok F23"});
}

TEST_F(SerlinkRig, SerialFailuresAndTheOnceUntilRecoveredLog) {
    Commander c;
    Serlink s;
    ASSERT_TRUE(s.start(name, ini("/dev/nothere")));
    ASSERT_TRUE(c.waitReqQueue(5000));
    // get_value and set_time send nothing when the device does not open.
    EXPECT_FALSE(c.exchange(ZRCMD_GET_VALUE, '1', '0', 800));
    EXPECT_FALSE(c.exchange(ZRCMD_GET_VALUE, '1', '0', 800));
    EXPECT_FALSE(c.exchange(ZRCMD_SET_TIME, '0', '0', 800));
    auto a = c.exchange(ZRCMD_SCANLEAVES, '1');
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, ZRST_SELOPEN);
    EXPECT_EQ(row(*a, 1), std::string(16, '\0')) << "the cache is left as it was";
    a = c.exchange(ZRCMD_CHKTYP20, '1');
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, ZRST_SELOPEN);
    EXPECT_EQ(zr_chk(*a, 1), 0);
    a = c.exchange(ZRCMD_HELLO);
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, 0);
    std::string open = "alert open (No such file or directory)";
    EXPECT_TRUE(log.waitFor("open (No such", 2000, mark, 4));
    EXPECT_EQ(countLogged(open), 4) << "one for the get_values, one each for set_time, scan, check";
}

TEST_F(SerlinkRig, SetUpFailuresThroughTheShim) {
    Sim sim;
    ASSERT_TRUE(sim.start({"1:types=10"}, name));
    struct { const char* fail; const char* logline; } cases[] = {
        {"tiocgserial:EIO", "alert Cannot get serial info (Input/output error)"},
        {"tiocsserial:EPERM", "alert Cannot set serial info (Operation not permitted)"},
        {"tcflush:EIO", "alert tcflush (Input/output error)"},
        {"tcsetattr:EINVAL", "alert tcsetattr (Invalid argument)"},
    };
    for (auto& cs : cases) {
        mark = log.mark();
        Commander c;
        Serlink s;
        ASSERT_TRUE(s.start(name, ini(sim.slave), {std::string("ORV_SHIM_FAIL=") + cs.fail}));
        ASSERT_TRUE(c.waitReqQueue(5000));
        auto a = c.exchange(ZRCMD_SCANLEAVES, '1');
        ASSERT_TRUE(a) << cs.fail;
        EXPECT_EQ(+a->status, ZRST_ETC) << cs.fail;
        EXPECT_FALSE(c.exchange(ZRCMD_GET_VALUE, '1', '0', 600)) << cs.fail;
        EXPECT_TRUE(log.waitFor(cs.logline + 6, 2000, mark)) << cs.fail;
        EXPECT_EQ(countLogged(cs.logline), 2) << cs.fail;
        s.proc.stop();
        // The next serlink must find a fresh request queue.
        rig::waitUntil([&] { return c.reqq() < 0; }, 2000);
    }
    // Without a failing step the same line works.
    Commander c;
    Serlink s;
    ASSERT_TRUE(s.start(name, ini(sim.slave)));
    ASSERT_TRUE(c.waitReqQueue(5000));
    auto a = c.exchange(ZRCMD_SCANLEAVES, '1');
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, 0);
}

TEST_F(SerlinkRig, ReadFailureWhenTheLineGoesAway) {
    Sim sim;
    ASSERT_TRUE(sim.start({"4:delay=1500"}, name));
    Commander c;
    Serlink s;
    ASSERT_TRUE(s.start(name, ini(sim.slave, 3000000)));
    ASSERT_TRUE(c.waitReqQueue(5000));
    int seq = c.send(ZRCMD_CHKTYP20, '4');
    ASSERT_GT(seq, 0);
    // The node has the request and is still pausing before its answer.
    ASSERT_TRUE(rig::waitUntil([&] { return !sim.frames().empty(); }, 5000));
    sim.proc.stop();
    auto a = c.await(seq, 5000);
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, ZRST_SELRECV);
    EXPECT_EQ(zr_chk(*a, 4), ZRCHK_FAILED);
    EXPECT_TRUE(log.waitFor("read (", 2000, mark));
}

TEST_F(SerlinkRig, RestartAnswersThenDropsQueuedRequestsAndRereadsItsSettings) {
    Sim sim, sim2;
    ASSERT_TRUE(sim.start({"2:types=10,delay=800"}, name));
    ASSERT_TRUE(sim2.start({"2:types=20/20"}, name + "2"));
    Commander c;
    Serlink s;
    ASSERT_TRUE(s.start(name, ini(sim.slave, 1500000)));
    ASSERT_TRUE(c.waitReqQueue(5000));
    int old = c.reqq();
    // serlink is busy on the line while the restart and two hellos queue up.
    int scan = c.send(ZRCMD_SCANLEAVES, '2');
    ASSERT_TRUE(rig::waitUntil([&] { return !sim.frames().empty(); }, 5000));
    int restart = c.send(ZRCMD_RESTART);
    int h1 = c.send(ZRCMD_HELLO);
    int h2 = c.send(ZRCMD_HELLO);
    ASSERT_TRUE(scan > 0 && restart > 0 && h1 > 0 && h2 > 0);
    // The new settings point at the other simulator.
    ASSERT_TRUE(rig::writeFile(s.dir + "/ZR1Communicator.ini", ini(sim2.slave)));
    auto a = c.await(scan, 3000);
    ASSERT_TRUE(a);
    EXPECT_EQ(row(*a, 2), "1000000000000000");
    a = c.await(restart, 3000);
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, 0);
    EXPECT_EQ(+a->command, ZRCMD_RESTART);
    EXPECT_FALSE(c.await(h2, 1000)) << "requests behind the restart are lost";
    ASSERT_TRUE(c.waitReqQueue(3000));
    EXPECT_NE(c.reqq(), old) << "the request queue was made anew";
    a = c.exchange(ZRCMD_HELLO);
    ASSERT_TRUE(a);
    // The scan cache survives the restart; the new line is the second simulator.
    a = c.exchange(ZRCMD_SCANCH);
    ASSERT_TRUE(a);
    EXPECT_EQ(row(*a, 2), "1000000000000000");
    a = c.exchange(ZRCMD_SCANLEAVES, '2');
    ASSERT_TRUE(a);
    EXPECT_EQ(row(*a, 2), "1100000000000000");
    EXPECT_TRUE(s.proc.running());
    EXPECT_EQ(countLogged("info resterted"), 1);
    std::string con = s.console();
    EXPECT_NE(con.find("end_msg:r_msqid=" + std::to_string(old) + "\n"), std::string::npos);
}

TEST_F(SerlinkRig, StopAndSignalsRemoveTheRequestQueue) {
    {
        Commander c;
        Serlink s;
        ASSERT_TRUE(s.start(name, ini("/dev/nothere")));
        ASSERT_TRUE(c.waitReqQueue(5000));
        auto a = c.exchange(ZRCMD_STOP);
        ASSERT_TRUE(a);
        EXPECT_EQ(+a->status, 0);
        auto e = s.proc.waitExit(3000);
        ASSERT_TRUE(e);
        EXPECT_TRUE(e->exited);
        EXPECT_EQ(e->code, 0);
        EXPECT_LT(c.reqq(), 0);
        EXPECT_TRUE(log.waitFor("stoped", 2000, mark));
    }
    for (int sig : {SIGTERM, SIGINT}) {
        Commander c;
        Serlink s;
        ASSERT_TRUE(s.start(name, ini("/dev/nothere")));
        ASSERT_TRUE(c.waitReqQueue(5000));
        ASSERT_TRUE(c.exchange(ZRCMD_HELLO));
        s.proc.signal(sig);
        auto e = s.proc.waitExit(3000);
        ASSERT_TRUE(e) << sig;
        EXPECT_TRUE(e->exited);
        EXPECT_EQ(e->code, 0);
        EXPECT_LT(c.reqq(), 0) << sig;
    }
}

// The signal is acted on from the main loop, wherever the loop waits: here for
// the commander's answer queue, with its own request queue already gone, so the
// removal fails and that goes to the system log, not to standard error.
TEST_F(SerlinkRig, SignalWhileWaitingLogsAFailedRemoval) {
    Serlink s;
    ASSERT_TRUE(s.start(name, ini("/dev/nothere")));
    ASSERT_TRUE(log.waitFor("send msgget (No such file or directory)", 5000, mark));
    int q = msgget(kReq, 0);
    ASSERT_GE(q, 0);
    ASSERT_EQ(msgctl(q, IPC_RMID, nullptr), 0);
    s.proc.signal(SIGTERM);
    auto e = s.proc.waitExit(5000);
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->exited);
    EXPECT_EQ(e->code, 0);
    EXPECT_TRUE(log.waitFor("end_msg:msgctl (", 2000, mark));
    bool alert = false;
    for (const std::string& l : logged()) alert = alert || l.rfind("alert end_msg:msgctl (", 0) == 0;
    EXPECT_TRUE(alert);
    EXPECT_NE(s.console().find("end_msg:r_msqid=" + std::to_string(q) + "\n"), std::string::npos);
    EXPECT_EQ(rig::readFile(s.dir + "/serlink.err").find("end_msg"), std::string::npos);
}

// A line that never stops sending: a pty whose master end this test holds and
// writes a noise byte to every few milliseconds, never a frame end.
struct StreamingLine {
    int master = -1;
    std::string slave;
    std::atomic<bool> run{true};
    std::thread writer;
    bool open() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
        slave = ptsname(master);
        writer = std::thread([this] {
            while (run) {
                ssize_t w = write(master, "x", 1);
                (void)w;
                usleep(2000);
                // Drain what serlink sends, so the pty never fills.
                char buf[256];
                int fl = fcntl(master, F_GETFL);
                fcntl(master, F_SETFL, fl | O_NONBLOCK);
                while (read(master, buf, sizeof buf) > 0) {
                }
                fcntl(master, F_SETFL, fl);
            }
        });
        return true;
    }
    ~StreamingLine() {
        run = false;
        if (writer.joinable()) writer.join();
        if (master >= 0) close(master);
    }
};

// Messages waiting in a queue (-1 when it is gone).
long queued(int q) {
    struct msqid_ds ds;
    return msgctl(q, IPC_STAT, &ds) == 0 ? (long)ds.msg_qnum : -1;
}

// SIGTERM wherever serlink waits ends it at once: the device closed, the request
// queue removed, exit code 0, and no answer sent for the request it was serving.
// Each case would otherwise end only after the wait it names (or never).
TEST_F(SerlinkRig, SigtermEndsItWhereverItWaits) {
    constexpr long long kStopBound = 3000;  // six times the goal; the waits below are far longer
    struct Case {
        const char* what;
        std::vector<std::string> nodes;  // the simulator's; empty: the streaming line
        long timeout;                    // the receive wait, us
        int command;
        char node;
        bool fullAnswerQueue;
    } cases[] = {
        {"a silent line", {"5:silent"}, 10000000, ZRCMD_GET_VALUE, '5', false},
        {"a slow answer", {"3:types=20,delay=8000"}, 10000000, ZRCMD_GET_VALUE, '3', false},
        {"a line that never stops sending", {}, 1400000, ZRCMD_GET_VALUE, '3', false},
        {"the command-1 loop", {"5:silent"}, 1400000, ZRCMD_GET_LEAVES, '0', false},
        {"a send into a full answer queue", {"5:silent"}, 1400000, ZRCMD_HELLO, '0', true},
        {"the receive of the request queue", {"5:silent"}, 1400000, 0, '0', false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Sim sim;
        StreamingLine stream;
        std::string dev;
        if (k.nodes.empty()) {
            ASSERT_TRUE(stream.open());
            dev = stream.slave;
        } else {
            ASSERT_TRUE(sim.start(k.nodes, name));
            dev = sim.slave;
        }
        Commander c;
        Serlink s;
        ASSERT_TRUE(s.start(name, ini(dev, k.timeout)));
        ASSERT_TRUE(c.waitReqQueue(5000));
        ASSERT_TRUE(c.exchange(ZRCMD_HELLO));
        int req = c.reqq();
        if (k.fullAnswerQueue) {
            MsgAnswer filler;
            memset(&filler, 0, sizeof filler);
            filler.type = 1;
            while (zr_send_answer(c.ansq, filler, IPC_NOWAIT) == 0) {
            }
        }
        long before = queued(c.ansq);
        if (k.command) {
            ASSERT_GE(c.send(k.command, k.node, '0'), 0);
            // The request is taken, and for a line exchange its frame written.
            ASSERT_TRUE(rig::waitUntil([&] { return queued(req) == 0; }, 5000));
            if (k.command != ZRCMD_HELLO) {
                ASSERT_TRUE(rig::waitUntil([&] { return s.console().find("put_string") != std::string::npos; }, 5000));
            }
        }
        long long t0 = rig::nowMs();
        ASSERT_TRUE(s.proc.signal(SIGTERM));
        std::optional<rig::Exit> e;
        rig::waitUntil([&] { return (e = s.proc.waitExit(0)).has_value(); }, 30000, 1);
        long long ms = rig::nowMs() - t0;
        ASSERT_TRUE(e) << "still running 30 s after the signal";
        std::printf("[measured] serlink in %s, SIGTERM: %lld ms from the signal to the end\n", k.what, ms);
        EXPECT_LE(ms, kStopBound);
        EXPECT_TRUE(e->exited);
        EXPECT_EQ(e->code, 0);
        EXPECT_LT(c.reqq(), 0) << "request queue removed";
        EXPECT_NE(s.console().find("end_msg:r_msqid=" + std::to_string(req) + "\n"), std::string::npos);
        EXPECT_EQ(queued(c.ansq), before) << "no answer after the stop";
        for (const std::string& l : logged())
            EXPECT_EQ(l.find("msgsnd"), std::string::npos) << "an answer was tried after the stop: " << l;
        EXPECT_EQ(countLogged("alert end_msg:msgctl"), 0);
        sim.proc.stop();
    }
}

TEST_F(SerlinkRig, RemovedRequestQueueIsMadeAgain) {
    Commander c;
    Serlink s;
    ASSERT_TRUE(s.start(name, ini("/dev/nothere")));
    ASSERT_TRUE(c.waitReqQueue(5000));
    int old = c.reqq();
    ASSERT_EQ(msgctl(old, IPC_RMID, nullptr), 0);
    rig::waitUntil([&] { return c.reqq() >= 0 && c.reqq() != old; }, 4000);
    ASSERT_GE(c.reqq(), 0);
    EXPECT_NE(c.reqq(), old);
    auto a = c.exchange(ZRCMD_HELLO);
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, 0);
}

TEST_F(SerlinkRig, OverlongRequestDoesNotWedgeTheQueue) {
    Commander c;
    Serlink s;
    ASSERT_TRUE(s.start(name, ini("/dev/nothere")));
    ASSERT_TRUE(c.waitReqQueue(5000));
    struct { long type; char text[20]; } big = {1, {}};
    memset(big.text, 'Z', sizeof big.text);
    ASSERT_EQ(msgsnd(c.reqq(), &big, sizeof big.text, 0), 0);
    auto a = c.exchange(ZRCMD_HELLO);
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, 0);
    EXPECT_EQ(c.late, 0) << "the overlong message got no answer";
    EXPECT_TRUE(log.waitFor("request longer than 10 bytes dropped", 2000, mark));
}

// serlink logs with its process id under facility user, and when the system
// log cannot be reached its lines go to the console instead. The second run is
// in a mount namespace of its own whose /dev is an empty tmpfs: no /dev/log,
// and a FIFO for /dev/console that the test reads through /proc (a plain file
// would be written from its start again at every line).
TEST_F(SerlinkRig, SystemLogWithPidAndConsoleFallback) {
    Serlink s;
    ASSERT_TRUE(s.start(name, ini("/dev/nothere")));
    ASSERT_TRUE(log.waitFor("serlink version 2.0", 3000, mark));
    bool seen = false;
    for (auto& l : log.lines(mark)) {
        auto e = rig::Syslog::parse(l);
        if (!e || e->message != "serlink version 2.0") continue;
        seen = true;
        EXPECT_EQ(e->ident, "serlink");
        EXPECT_EQ(e->facility, "user");
        EXPECT_EQ(e->priority, "info");
        EXPECT_EQ(e->pid, s.proc.pid());
    }
    EXPECT_TRUE(seen);
    s.proc.stop();

    std::string dir = rig::scratchDir() + "/" + name + ".nolog";
    mkdir(dir.c_str(), 0755);
    ASSERT_TRUE(rig::writeFile(dir + "/ZR1Communicator.ini",
                               "[SERIAL]\ndevice=/dev/nothere\n[MSGQUE]\nkey1=1417\nkey2=2417\n"));
    rig::Process::Options o;
    o.cwd = dir;
    o.stdoutPath = dir + "/serlink.out";
    o.stderrPath = dir + "/serlink.err";
    rig::Process p({"unshare", "--mount", "--propagation", "private", "sh", "-c",
                    "mount -t tmpfs tmpfs /dev && mkfifo /dev/console && exec \"$0\"", rig::binDir() + "/serlink"},
                   o);
    ASSERT_GT(p.pid(), 0) << p.error();
    // unshare and sh both exec, so the process is serlink itself. It waits in
    // its open of the console until the test opens the FIFO for reading.
    std::string console = "/proc/" + std::to_string(p.pid()) + "/root/dev/console";
    std::string want = "serlink[" + std::to_string(p.pid()) + "]: serlink version 2.0\r\n";
    std::string got;
    int fd = -1;
    rig::waitUntil([&] { return (fd = open(console.c_str(), O_RDONLY | O_NONBLOCK)) >= 0; }, 5000, 20);
    ASSERT_GE(fd, 0) << console << ": " << strerror(errno);
    rig::waitUntil([&] {
        char buf[512];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) got.append(buf, size_t(n));
        return got.find("send msgget") != std::string::npos;  // logged after the first line
    }, 5000, 20);
    close(fd);
    EXPECT_EQ(got.substr(0, want.size()), want) << got << rig::readFile(dir + "/serlink.err");
    EXPECT_NE(got.find("]: send msgget (No such file or directory)\r\n"), std::string::npos) << got;
    EXPECT_EQ(log.count("serlink version 2.0", mark), 1) << "the second run reached no system log";
    p.stop();
}

TEST_F(SerlinkRig, MissingConfigurationAndLateAnswerQueue) {
    // No answer queue yet: serlink waits for it and says so once.
    Serlink s;
    ASSERT_TRUE(s.start(name, std::nullopt));
    EXPECT_TRUE(log.waitFor("send msgget (No such file or directory)", 3000, mark));
    EXPECT_TRUE(log.waitFor("ini file open (No such file or directory)", 1000, mark));
    // Nothing to wait for: the check is that no second alert comes while serlink
    // keeps retrying, so it looks after a stretch of retries.
    usleep(1200000);
    EXPECT_EQ(countLogged("alert send msgget (No such file or directory)"), 1);
    Commander c;  // makes the answer queue; defaults are keys 1000 and 2000
    ASSERT_TRUE(c.waitReqQueue(1000));
    auto a = c.exchange(ZRCMD_HELLO, '0', '0', 4000);
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, 0);
    // The default device does not exist in the rig.
    a = c.exchange(ZRCMD_SCANLEAVES, '0');
    ASSERT_TRUE(a);
    EXPECT_EQ(+a->status, ZRST_SELOPEN);
    EXPECT_TRUE(log.waitFor("open (No such file", 2000, mark));
    EXPECT_NE(s.console().find("s_msqid="), std::string::npos);
}

}  // namespace
