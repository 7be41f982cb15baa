// ZR1Communicator as a process inside the rig, with a transceiver stand-in on
// the real message queues: request and answer records, the shared sequence
// counter, late answers, answer waits, the semaphore between connection
// children, the boot scan, the leaf-name prefix from a dummy eth0, the error
// log and the teardown by SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "rig.h"
#include "zr1_support.h"

using zr1t::QueuePeer;

namespace {

// Short answer wait (3 polls) and a small boot scan, to keep the tests short.
const char kIni[] =
    "[ZR11ACOMMAND]\nmaxnodes=1\n[MSGQUE]\nkey1=1000\nkey2=2000\ntimeout=300000\n";
const std::string kLog = "/home/drivers/vexa/zr/ZR1ERROR.log";

class Commander : public ::testing::Test {
protected:
    void SetUp() override {
        if (!rig::inRig()) GTEST_SKIP() << "needs the appliance rig (tests/rig/rig)";
        zr1t::endAll();
        unlink(kLog.c_str());
    }
    void TearDown() override {
        if (proc.pid() > 0) proc.stop();
        zr1t::endAll();
    }
    // Installs, starts and waits for the port; the boot scan (maxnodes=1: six
    // exchanges) is waited for too, so that tests see only their own requests.
    void start(QueuePeer& peer, const std::string& ini = kIni, size_t bootExchanges = 6) {
        zr1t::install(ini);
        ASSERT_TRUE(zr1t::startCommander(proc)) << proc.error();
        ASSERT_TRUE(rig::waitPort(1131, 10000));
        if (bootExchanges) {
            ASSERT_TRUE(peer.waitRequests(bootExchanges, 10000));
        }
        // The boot-scan child picks up its last answer at its next poll and ends.
        if (bootExchanges) rig::waitUntil([&] { return zr1t::childrenOf(proc.pid()).empty(); }, 3000, 20);
    }
    // Starts with a 5 s answer time-out and has `holder` ask for set_time, which the
    // peer never answers: the connection's child takes the semaphore and keeps it.
    void holdSemaphore(QueuePeer& peer, rig::ProtoClient& holder) {
        ASSERT_NO_FATAL_FAILURE(start(peer, "[ZR11ACOMMAND]\nmaxnodes=1\n[MSGQUE]\ntimeout=5000000\n"));
        peer.onRequest([](const MsgRequest& r, MsgAnswer&) { return r.command != ZRCMD_SET_TIME; });
        ASSERT_TRUE(holder.connect("127.0.0.1", 1131, 3000));
        size_t n = peer.requests().size();
        ASSERT_TRUE(holder.sendLine("?cmd=set_time"));
        ASSERT_TRUE(peer.waitRequests(n + 1, 3000));
    }
    rig::Process proc;
};

std::string ask(rig::ProtoClient& c, const std::string& req, int ms = 5000) {
    auto line = c.request(req, ms);
    return line ? *line : std::string("<none>");
}

TEST_F(Commander, RequestRecordsAndSharedCounter) {
    QueuePeer peer;
    start(peer);
    size_t before = peer.requests().size();
    rig::ProtoClient a, b;
    ASSERT_TRUE(a.connect("127.0.0.1", 1131, 3000));
    ASSERT_TRUE(b.connect("127.0.0.1", 1131, 3000));
    EXPECT_EQ(ask(a, "?cmd=hello"), "?cmd=hello&status=OK\r\n");
    EXPECT_EQ(ask(b, "?cmd=hello\r\n"), "?cmd=hello&status=OK\r\n");
    EXPECT_EQ(ask(a, "?cmd=get_value&protocol=C0&node=20000003&leaf=5&toq=C0_5"),
              "?cmd=get_value&status=EINVALIDTOQ\r\n");  // an all-zero answer has no value mark
    auto reqs = peer.requests();
    ASSERT_EQ(reqs.size(), before + 3);
    // One counter for every process of the instance: the boot scan's exchanges
    // are 1-6, the connection children go on from there.
    for (size_t i = 0; i < reqs.size(); i++) {
        EXPECT_EQ(int(reqs[i].type), 1) << i;
        EXPECT_EQ(int(reqs[i].seq), int32_t(i + 1)) << i;
    }
    // Boot scan: 17, 12, 16 for nodes '0' and '1'.
    const int boot[6][2] = {{17, '0'}, {12, '0'}, {16, '0'}, {17, '1'}, {12, '1'}, {16, '1'}};
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(int(reqs[i].command), boot[i][0]) << i;
        EXPECT_EQ(int(reqs[i].node), char(boot[i][1])) << i;
        EXPECT_EQ(int(reqs[i].param), '0') << i;
    }
    EXPECT_EQ(int(reqs[before].command), ZRCMD_HELLO);
    EXPECT_EQ(int(reqs[before + 2].command), ZRCMD_GET_VALUE);
    EXPECT_EQ(int(reqs[before + 2].node), '3');
    EXPECT_EQ(int(reqs[before + 2].param), '4');  // leaf 5 of a ZR20A node travels as 4
    // The raw bytes of the record text: command, node, param, seq.
    unsigned char raw[10];
    memcpy(raw, &reqs[before + 2].command, sizeof raw);
    int32_t seq = int32_t(before + 3);
    const unsigned char want[10] = {2, 0, 0, 0, '3', '4', uint8_t(seq), 0, 0, 0};
    EXPECT_EQ(memcmp(raw, want, 10), 0);
    // Unknown requests: an empty line and no exchange.
    EXPECT_EQ(ask(a, "?cmd=version"), "\r\n");
    EXPECT_EQ(peer.requests().size(), before + 3);
}

TEST_F(Commander, LateAnswerIsDiscarded) {
    QueuePeer peer;
    start(peer);
    peer.onRequest([&](const MsgRequest& r, MsgAnswer& a) {
        if (r.command == ZRCMD_GET_VALUE) {
            // A late answer to an earlier request arrives first.
            MsgAnswer stale = a;
            stale.seq = r.seq - 1;
            stale.status = ZRST_BCC;
            peer.sendRaw(stale);
            memcpy(a.date, "2026-12-08", 10);
            memcpy(a.time, "02:06:51", 8);
            memcpy(a.value, "00012345", 8);
            memcpy(a.valmark, "10", 2);
        }
        return true;
    });
    rig::ProtoClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", 1131, 3000));
    EXPECT_EQ(ask(c, "?cmd=get_value&protocol=C0&node=11000003&leaf=2&toq=C0_2"),
              "?cmd=get_value&status=OK&val=00012345&time=2026-12-08_02:06:51\r\n");
}

TEST_F(Commander, NoAnswerTimesOutAndIsLogged) {
    QueuePeer peer;
    start(peer);
    peer.onRequest([](const MsgRequest&, MsgAnswer&) { return false; });
    rig::ProtoClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", 1131, 3000));
    long long t0 = rig::nowMs();
    EXPECT_EQ(ask(c, "?cmd=hup"), "?cmd=hup&status=EMSGTIMEOUT\r\n");
    long long waited = rig::nowMs() - t0;
    EXPECT_GE(waited, 300);  // 3 polls of 100 ms at least
    std::string log = rig::readFile(kLog);
    ASSERT_GT(log.size(), 25u);
    EXPECT_EQ(log[24], '\n');
    EXPECT_EQ(log.substr(25), "DoMsg:msgrcv(No message of desired type)\n");
    // The connection stays open and nothing was restarted.
    EXPECT_EQ(ask(c, "?cmd=get_leaves"), "?cmd=get_leaves&status=EMSGTIMEOUT\r\n");
    EXPECT_TRUE(proc.running());
}

// The send fails on the removed queue (EINVAL), the commander looks key1 up
// again and finds no queue (ENOENT): the entry tells the send's error.
TEST_F(Commander, RemovedRequestQueueGivesMsgsndFailure) {
    QueuePeer peer;
    start(peer);
    peer.removeQueue();
    rig::ProtoClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", 1131, 3000));
    EXPECT_EQ(ask(c, "?cmd=set_time"), "?cmd=set_time&status=EMSGTIMEOUT\r\n");
    std::string log = rig::readFile(kLog);
    ASSERT_GT(log.size(), 25u);
    EXPECT_EQ(log.substr(25), "DoMsg:msgsnd(Invalid argument)\n") << log;
    std::string err = rig::readFile(rig::scratchDir() + "/zr1.err");
    EXPECT_NE(err.find("DoMsg:msgsnd: Invalid argument\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("DoMsg:msgsnd: No such file"), std::string::npos) << err;
}

TEST_F(Commander, ExchangesNeverOverlap) {
    QueuePeer peer;
    start(peer);
    peer.onRequest([](const MsgRequest&, MsgAnswer&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return true;
    });
    std::vector<std::thread> clients;
    std::atomic<int> ok{0};
    for (int i = 0; i < 4; i++) {
        clients.emplace_back([&] {
            rig::ProtoClient c;
            if (!c.connect("127.0.0.1", 1131, 3000)) return;
            for (int k = 0; k < 3; k++)
                if (ask(c, "?cmd=rescan&node=2") == "?cmd=rescan&status=OK\r\n") ok++;
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(ok, 12);
    EXPECT_EQ(peer.maxOutstanding(), 1);
}

// A child killed in the middle of an exchange (it holds the semaphore) must
// not block the exchanges of everyone after it.
TEST_F(Commander, ChildKilledInsideAnExchangeReleasesTheSemaphore) {
    QueuePeer peer;
    rig::ProtoClient hung, other;
    ASSERT_NO_FATAL_FAILURE(holdSemaphore(peer, hung));
    // The boot scan has ended: the only child is the connection's, now waiting
    // for its answer with the semaphore taken.
    auto kids = zr1t::childrenOf(proc.pid());
    ASSERT_EQ(kids.size(), 1u);
    ASSERT_EQ(kill(kids[0], SIGKILL), 0);
    ASSERT_TRUE(other.connect("127.0.0.1", 1131, 3000));
    EXPECT_EQ(ask(other, "?cmd=hello", 3000), "?cmd=hello&status=OK\r\n");
}

TEST_F(Commander, SigtermRemovesQueueAndSemaphoreButKeepsCounter) {
    {
        QueuePeer peer;
        start(peer);
        EXPECT_TRUE(zr1t::sysvKeyExists("msg", 2000));
        EXPECT_TRUE(zr1t::sysvKeyExists("shm", 1131));
        EXPECT_GE(zr1t::semaphoreSets(), 1);
        ASSERT_TRUE(proc.signal(SIGTERM));
        auto ex = proc.waitExit(5000);
        ASSERT_TRUE(ex.has_value());
        EXPECT_TRUE(ex->exited);
        EXPECT_EQ(ex->code, 0);
        EXPECT_FALSE(zr1t::sysvKeyExists("msg", 2000));
        EXPECT_TRUE(zr1t::sysvKeyExists("msg", 1000));  // the transceiver's
        EXPECT_EQ(zr1t::semaphoreSets(), 0);
        EXPECT_TRUE(zr1t::sysvKeyExists("shm", 1131));
        // The counter is where the boot scan left it.
        int id = shmget(1131, 4, 0);
        ASSERT_GE(id, 0);
        int* cnt = static_cast<int*>(shmat(id, nullptr, SHM_RDONLY));
        ASSERT_NE(cnt, reinterpret_cast<int*>(-1));
        EXPECT_EQ(*cnt, 6);
        shmdt(cnt);
    }
    // A new instance attaches to the same segment and numbers from 1 again.
    QueuePeer peer;
    start(peer);
    EXPECT_EQ(int(peer.requests().front().seq), 1);
}

// The handlers only set a flag; each process acts on it where it waits: a
// connection child waiting for its client's next request, or inside an exchange
// whose answer wait (5 s here) has not run out. Either ends at once, removing the
// instance's semaphore set and answer queue, without logging the exchange's
// time-out, while the main process goes on.
TEST_F(Commander, SigtermToAWaitingChildEndsItWhereItWaits) {
    struct Case {
        const char* what;
        const char* request;  // sent before the signal, nullptr: none
    } cases[] = {{"waiting for its client", nullptr}, {"inside an exchange", "?cmd=set_time"}};
    for (const Case& c : cases) {
        unlink(kLog.c_str());
        QueuePeer peer;
        start(peer, "[ZR11ACOMMAND]\nmaxnodes=1\n[MSGQUE]\ntimeout=5000000\n");
        peer.onRequest([](const MsgRequest& r, MsgAnswer&) { return r.command != ZRCMD_SET_TIME; });
        rig::ProtoClient client;
        ASSERT_TRUE(client.connect("127.0.0.1", 1131, 3000));
        EXPECT_EQ(ask(client, "?cmd=hello"), "?cmd=hello&status=OK\r\n");
        size_t n = peer.requests().size();
        if (c.request) {
            ASSERT_TRUE(client.sendLine(c.request));
            ASSERT_TRUE(peer.waitRequests(n + 1, 3000));
        }
        auto kids = zr1t::childrenOf(proc.pid());
        ASSERT_EQ(kids.size(), 1u) << c.what;
        ASSERT_EQ(kill(kids[0], SIGTERM), 0);
        EXPECT_TRUE(client.closed(10000)) << c.what;
        EXPECT_TRUE(rig::waitUntil([&] { return zr1t::childrenOf(proc.pid()).empty(); }, 10000, 20)) << c.what;
        EXPECT_EQ(zr1t::semaphoreSets(), 0) << c.what;
        EXPECT_FALSE(zr1t::sysvKeyExists("msg", 2000)) << c.what;
        EXPECT_EQ(rig::readFile(kLog).find("DoMsg:msgrcv"), std::string::npos) << c.what;
        EXPECT_TRUE(proc.running()) << c.what;
        proc.stop();
        zr1t::endAll();
    }
}

// Where a commander process waits when the SIGTERM comes, it ends there within
// the bound, with the clean-up of a SIGTERM (semaphore set and answer queue
// removed, exit 0), and nothing more goes out: no transceiver command, no line
// to its client, no error-log entry for the interrupted wait.
constexpr long long kStopBound = 3000;  // six times the goal; the waits here are far longer

// Sends SIGTERM to pid and waits until it is gone; ms from the signal, -1 when
// it was still there after 30 s.
long long stopTime(pid_t pid, const char* what, rig::Process* own = nullptr) {
    long long t0 = rig::nowMs();
    if (kill(pid, SIGTERM) != 0) return -1;
    auto gone = [&] {
        if (own) return !own->running();
        std::string st = rig::readFile("/proc/" + std::to_string(pid) + "/stat");
        size_t p = st.rfind(')');
        return st.empty() || (p != std::string::npos && p + 2 < st.size() && st[p + 2] == 'Z');
    };
    if (!rig::waitUntil(gone, 30000, 1)) return -1;
    long long ms = rig::nowMs() - t0;
    std::printf("[measured] ZR1Communicator %s, SIGTERM: %lld ms from the signal to the end\n", what, ms);
    return ms;
}

TEST_F(Commander, SigtermInTheSemaphoreWaitSendsNoCommand) {
    QueuePeer peer;
    // set_time is never answered: its child holds the semaphore for 5 s.
    rig::ProtoClient holder, waiter;
    ASSERT_NO_FATAL_FAILURE(holdSemaphore(peer, holder));
    size_t held = peer.requests().size();  // the holder's set_time is the last
    auto first = zr1t::childrenOf(proc.pid());
    ASSERT_EQ(first.size(), 1u);
    ASSERT_TRUE(waiter.connect("127.0.0.1", 1131, 3000));
    ASSERT_TRUE(waiter.sendLine("?cmd=set_time"));
    pid_t second = -1;
    ASSERT_TRUE(rig::waitUntil([&] {
        for (pid_t k : zr1t::childrenOf(proc.pid()))
            if (k != first[0]) second = k;
        return second > 0;
    }, 3000));
    long long ms = stopTime(second, "waiting for the semaphore");
    EXPECT_GE(ms, 0);
    EXPECT_LE(ms, kStopBound);
    EXPECT_TRUE(waiter.closed(3000));
    EXPECT_FALSE(waiter.readLine(100).has_value()) << "no line after the stop";
    EXPECT_EQ(peer.requests().size(), held) << "the waiting child sent no command";
    EXPECT_EQ(zr1t::semaphoreSets(), 0);
    EXPECT_FALSE(zr1t::sysvKeyExists("msg", 2000));
}

// A full request queue (the transceiver does not take requests): the boot-scan
// child waits in its send. A SIGTERM ends it there, without the send failure in
// the error log.
TEST_F(Commander, SigtermInASendToAFullRequestQueue) {
    int q = msgget(1000, IPC_CREAT | 0666);
    ASSERT_GE(q, 0);
    MsgRequest filler;
    memset(&filler, 0, sizeof filler);
    filler.type = 1;
    while (zr_send_request(q, filler, IPC_NOWAIT) == 0) {
    }
    struct msqid_ds ds;
    ASSERT_EQ(msgctl(q, IPC_STAT, &ds), 0);
    unsigned long full = ds.msg_qnum;
    zr1t::install(kIni);
    ASSERT_TRUE(zr1t::startCommander(proc)) << proc.error();
    ASSERT_TRUE(rig::waitPort(1131, 10000));
    std::vector<pid_t> kids;
    ASSERT_TRUE(rig::waitUntil([&] { return (kids = zr1t::childrenOf(proc.pid())).size() == 1; }, 3000));
    long long ms = stopTime(kids[0], "in a send to a full request queue");
    EXPECT_GE(ms, 0);
    EXPECT_LE(ms, kStopBound);
    EXPECT_EQ(rig::readFile(kLog).find("DoMsg:msgsnd"), std::string::npos) << rig::readFile(kLog);
    ASSERT_EQ(msgctl(q, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.msg_qnum, full);
    EXPECT_EQ(zr1t::semaphoreSets(), 0);
    msgctl(q, IPC_RMID, nullptr);
}

// After a kill request the main process waits for the start script's runner.
// A SIGTERM then (the script's own stop step sends one) ends it at once.
TEST_F(Commander, SigtermWhileTheScriptRuns) {
    QueuePeer peer;
    start(peer);
    // A start script that says it runs and then takes its time.
    const std::string mark = std::string(zr1t::kDir) + "/runner.pid";
    unlink(mark.c_str());
    ASSERT_TRUE(rig::writeFile(std::string(zr1t::kDir) + "/ZR1.sh",
                               "#!/bin/sh\necho $$ >" + mark + ".new\nmv " + mark + ".new " + mark +
                                   "\nexec sleep 60\n",
                               0755));
    rig::ProtoClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", 1131, 3000));
    EXPECT_EQ(ask(c, "?cmd=kill"), "?cmd=kill&status=OK\r\n");
    ASSERT_TRUE(rig::waitUntil([&] { return !rig::readFile(mark).empty(); }, 5000));
    pid_t runner = std::atoi(rig::readFile(mark).c_str());
    long long ms = stopTime(proc.pid(), "waiting for the start script", &proc);
    EXPECT_GE(ms, 0);
    EXPECT_LE(ms, kStopBound);
    ASSERT_TRUE(proc.exitStatus().has_value());
    EXPECT_TRUE(proc.exitStatus()->exited);
    EXPECT_EQ(proc.exitStatus()->code, 0);
    EXPECT_EQ(zr1t::semaphoreSets(), 0);
    EXPECT_FALSE(zr1t::sysvKeyExists("msg", 2000));
    if (runner > 0) rig::endPid(runner);
}

TEST_F(Commander, LeafPrefixFromInterfaceAddress) {
    ASSERT_EQ(system("ip link add eth0 type veth peer name eth0p && "
                     "ip link set eth0 address 00:0a:35:12:ab:cd && ip addr add 10.213.0.1/24 dev eth0 && "
                     "ip link set eth0p up && ip link set eth0 up"),
              0);
    auto leaves = [](const MsgRequest& r, MsgAnswer& a) {
        if (r.command == ZRCMD_SCANCH) {
            memcpy(a.chtable[5], "1000000000000000", 16);
            memcpy(&a.frames[5][12], "20", 2);
            zr_set_chk(a, 5, 1);
        }
        return true;
    };
    struct Case {
        const char* ini;
        const char* prefix;
    } cases[] = {
        {kIni, "12ABCD"},
        {"[ZR11ACOMMAND]\nmaxnodes=1\n[DRVCOMMAND]\nifname=eth1\n", "000000"},
        {"[ZR11ACOMMAND]\nmaxnodes=1\n[DRVCOMMAND]\nifname=lo\n", "000000"},
    };
    for (const Case& c : cases) {
        QueuePeer peer;
        peer.onRequest(leaves);
        start(peer, c.ini);
        rig::ProtoClient cl;
        ASSERT_TRUE(cl.connect("127.0.0.1", 1131, 3000));
        std::string p = c.prefix;
        std::string want = "?cmd=get_leaves&status=OK&val=";
        for (char t : std::string("0124578")) want += p + "20000005C" + t + "_1,";
        want.back() = '\r';
        want += '\n';
        EXPECT_EQ(ask(cl, "?cmd=get_leaves"), want) << c.ini;
        cl.close();
        proc.stop();
        zr1t::endAll();
    }
    system("ip link del eth0");
}

TEST_F(Commander, MissingIniUsesDefaults) {
    QueuePeer peer;
    zr1t::install("");
    unlink("/home/drivers/vexa/zr/ZR1Communicator.ini");
    ASSERT_TRUE(zr1t::startCommander(proc)) << proc.error();
    ASSERT_TRUE(rig::waitPort(1131, 10000));
    // Defaults: nodes 0-15 in the boot scan.
    ASSERT_TRUE(peer.waitRequests(48, 15000));
    auto reqs = peer.requests();
    EXPECT_EQ(int(reqs[45].command), 17);
    EXPECT_EQ(int(reqs[45].node), 'F');
    std::string err = rig::readFile(rig::scratchDir() + "/zr1.err");
    EXPECT_NE(err.find("InitFileRead:fopen: No such file or directory"), std::string::npos) << err;
}

TEST_F(Commander, ClientThatClosesEndsItsChildOnly) {
    QueuePeer peer;
    start(peer);
    {
        rig::ProtoClient c;
        ASSERT_TRUE(c.connect("127.0.0.1", 1131, 3000));
        EXPECT_EQ(ask(c, "?cmd=hello"), "?cmd=hello&status=OK\r\n");
    }
    EXPECT_TRUE(rig::waitUntil([&] { return zr1t::childrenOf(proc.pid()).empty(); }, 3000, 20));
    EXPECT_TRUE(proc.running());
    rig::ProtoClient again;
    ASSERT_TRUE(again.connect("127.0.0.1", 1131, 3000));
    EXPECT_EQ(ask(again, "?cmd=hello"), "?cmd=hello&status=OK\r\n");
}

}  // namespace
