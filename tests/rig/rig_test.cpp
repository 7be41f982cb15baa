// Self-test of the appliance rig: the private /dev with its own ptys, the system
// log, the private /home, loopback, and the processes the support library starts.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "rig.h"

namespace {

#define NEED_RIG() \
    if (!rig::inRig()) GTEST_SKIP() << "needs the appliance rig (tests/rig/rig)"

// Mount point -> "fstype options" of this mount namespace.
std::string mountOf(const std::string& where)
{
    std::istringstream in(rig::readFile("/proc/self/mountinfo"));
    std::string line, found;
    while (std::getline(in, line)) {
        // id parent major:minor root mountpoint options ... - fstype source superoptions
        std::istringstream f(line);
        std::string id, parent, dev, root, point, opts;
        f >> id >> parent >> dev >> root >> point >> opts;
        size_t dash = line.find(" - ");
        if (point == where && dash != std::string::npos)
            found = line.substr(dash + 3);  // the last mount on a point wins
    }
    return found;
}

TEST(Rig, DevIsPrivateWithOwnPtyInstance)
{
    NEED_RIG();
    EXPECT_EQ(mountOf("/dev").rfind("tmpfs ", 0), 0u) << mountOf("/dev");
    std::string pts = mountOf("/dev/pts");
    EXPECT_EQ(pts.rfind("devpts ", 0), 0u) << pts;
    EXPECT_NE(pts.find("ptmxmode=666"), std::string::npos) << pts;

    char link[64] = {};
    ASSERT_GT(readlink("/dev/ptmx", link, sizeof link - 1), 0);
    EXPECT_STREQ(link, "pts/ptmx");
    for (const char* n : {"/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom",
                          "/dev/tty"}) {
        struct stat st{};
        EXPECT_EQ(stat(n, &st), 0) << n;
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << n;
    }
    // Nothing of the host leaks in: a fresh instance starts with no ptys at all.
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(m, 0);
    ASSERT_EQ(grantpt(m), 0);
    ASSERT_EQ(unlockpt(m), 0);
    std::string slave = ptsname(m);
    EXPECT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;
    int s = open(slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(s, 0) << slave;
    // Bytes written on the master arrive on the slave (raw, so no line discipline).
    termios t{};
    ASSERT_EQ(tcgetattr(s, &t), 0);
    cfmakeraw(&t);
    ASSERT_EQ(tcsetattr(s, TCSANOW, &t), 0);
    ASSERT_EQ(write(m, "ping\r", 5), 5);
    char buf[16] = {};
    ssize_t got = 0;
    rig::waitUntil([&] {
        ssize_t n = read(s, buf + got, sizeof buf - 1 - got);
        if (n > 0) got += n;
        return got >= 5;
    }, 2000, 0);
    EXPECT_EQ(std::string(buf, got), "ping\r");
    close(s);
    close(m);
}

TEST(Rig, SyslogLinesAppearInRigSyslog)
{
    NEED_RIG();
    rig::Syslog log;
    ASSERT_FALSE(log.path().empty());
    rig::Syslog::Mark mark = log.mark();
    std::string tag = "probe-" + std::to_string(getpid());
    openlog("rigselftest", LOG_PID, LOG_USER);
    syslog(LOG_WARNING, "%s warning", tag.c_str());
    syslog(LOG_INFO, "%s info", tag.c_str());
    syslog(LOG_ERR, "%s err", tag.c_str());
    closelog();
    ASSERT_TRUE(log.waitFor(tag, 5000, mark, 3)) << rig::readFile(log.path());
    EXPECT_EQ(log.count(tag + " warning", mark), 1);
    EXPECT_EQ(log.count(tag, log.mark()), 0);  // nothing after the end

    struct Want {
        const char* text;
        const char* priority;
    } wants[] = {{" warning", "warn"}, {" info", "info"}, {" err", "err"}};
    std::vector<std::string> lines = log.lines(mark);
    size_t i = 0;
    for (auto& l : lines) {
        auto e = rig::Syslog::parse(l);
        ASSERT_TRUE(e) << l;
        if (e->ident != "rigselftest") continue;
        ASSERT_LT(i, 3u);
        EXPECT_EQ(e->facility, "user");
        EXPECT_EQ(e->priority, wants[i].priority) << l;
        EXPECT_EQ(e->pid, getpid());
        EXPECT_EQ(e->message, tag + wants[i].text);  // in the order logged
        ++i;
    }
    EXPECT_EQ(i, 3u);
}

TEST(Rig, SyslogParseShapes)
{
    struct Case {
        const char* line;
        bool ok;
        const char* ident;
        int pid;
        const char* priority;
        const char* message;
    } cases[] = {
        {"Dec  8 19:03:03 vm user.warn gatex1d[42]: failed to open device file: /dev/ttyUSB0",
         true, "gatex1d", 42, "warn", "failed to open device file: /dev/ttyUSB0"},
        {"Dec 18 01:02:03 host user.notice root: hi: there", true, "root", -1, "notice", "hi: there"},
        {"Dec  8 19:03:03 vm syslog.info syslogd started: BusyBox v1.35.0", true, "", -1, "info",
         "syslogd started: BusyBox v1.35.0"},
        {"garbage", false, "", 0, "", ""},
        {"Dec  8 19:03:03 vm", false, "", 0, "", ""},
    };
    for (auto& c : cases) {
        auto e = rig::Syslog::parse(c.line);
        ASSERT_EQ(e.has_value(), c.ok) << c.line;
        if (!c.ok) continue;
        EXPECT_EQ(e->ident, c.ident) << c.line;
        EXPECT_EQ(e->pid, c.pid) << c.line;
        EXPECT_EQ(e->priority, c.priority) << c.line;
        EXPECT_EQ(e->message, c.message) << c.line;
    }
}

TEST(Rig, HomeIsPrivateTmpfsWithDriverFolders)
{
    NEED_RIG();
    struct statfs fs{};
    ASSERT_EQ(statfs("/home", &fs), 0);
    EXPECT_EQ(fs.f_type, 0x01021994) << "tmpfs";  // TMPFS_MAGIC
    for (const char* d : {"/home/drivers/vexa/zr", "/home/drivers/gatex"}) {
        struct stat st{};
        EXPECT_EQ(stat(d, &st), 0) << d;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << d;
    }
    // A program put where the start script expects it runs from there.
    std::string f = "/home/drivers/vexa/zr/rig-selftest";
    ASSERT_TRUE(rig::writeFile(f, "#!/bin/sh\nexit 7\n", 0755));
    rig::Process p({f});
    auto e = p.waitExit(5000);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, 7);
    ASSERT_TRUE(rig::copyFile(f, f + "-copy", 0600));
    struct stat st{};
    ASSERT_EQ(stat((f + "-copy").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(rig::readFile(f + "-copy"), "#!/bin/sh\nexit 7\n");
    unlink(f.c_str());
    unlink((f + "-copy").c_str());
}

TEST(Rig, OnlyLoopbackAndItWorks)
{
    NEED_RIG();
    std::set<std::string> names;
    if (struct if_nameindex* ifs = if_nameindex()) {
        for (auto* i = ifs; i->if_index; ++i) names.insert(i->if_name);
        if_freenameindex(ifs);
    }
    EXPECT_EQ(names, std::set<std::string>{"lo"});

    int l = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(l, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(l, 1), 0);
    socklen_t len = sizeof a;
    getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
    int port = ntohs(a.sin_port);
    EXPECT_TRUE(rig::waitPort(port, 2000));
    close(l);
    EXPECT_FALSE(rig::waitPort(port, 200));
}

TEST(Rig, ScratchAndTmpArePrivate)
{
    NEED_RIG();
    EXPECT_EQ(rig::scratchDir(), std::getenv("RIG_DIR"));
    EXPECT_EQ(mountOf("/tmp").rfind("tmpfs ", 0), 0u) << mountOf("/tmp");
    std::string f = rig::scratchDir() + "/probe";
    { std::ofstream(f) << "y"; }
    EXPECT_EQ(rig::readFile(f), "y");
}

TEST(Process, ExitCodesSignalsAndStartFailures)
{
    struct Case {
        std::vector<std::string> argv;
        bool exited;
        int code;
        int signal;
    } cases[] = {
        {{"sh", "-c", "exit 0"}, true, 0, 0},
        {{"sh", "-c", "exit 3"}, true, 3, 0},
        {{"sh", "-c", "kill -SEGV $$"}, false, -1, SIGSEGV},
    };
    for (auto& c : cases) {
        rig::Process p(c.argv);
        ASSERT_GT(p.pid(), 0) << p.error();
        auto e = p.waitExit(5000);
        ASSERT_TRUE(e) << c.argv[2];
        EXPECT_EQ(e->exited, c.exited) << c.argv[2];
        EXPECT_EQ(e->code, c.code) << c.argv[2];
        EXPECT_EQ(e->signal, c.signal) << c.argv[2];
    }
    rig::Process bad;
    EXPECT_FALSE(bad.start({"/nonexistent/program"}));
    EXPECT_EQ(bad.pid(), -1);
    EXPECT_NE(bad.error().find("No such file"), std::string::npos) << bad.error();
}

TEST(Process, EnvOutputAndShimPreload)
{
    std::string out = rig::scratchDir() + "/env-" + std::to_string(getpid());
    rig::Process::Options o;
    o.env = {"RIG_PROBE=one two", "HOME=/home/drivers"};
    o.shim = true;
    o.stdoutPath = out;
    rig::Process p({"sh", "-c", "echo \"$RIG_PROBE|$HOME|$LD_PRELOAD|$ASAN_OPTIONS\""}, o);
    ASSERT_GT(p.pid(), 0) << p.error();
    auto e = p.waitExit(5000);
    ASSERT_TRUE(e && e->exited && e->code == 0);
    std::string text = rig::readFile(out);
    EXPECT_EQ(text.rfind("one two|/home/drivers|" + rig::shimPath(), 0), 0u) << text;
    EXPECT_NE(text.find("verify_asan_link_order=0"), std::string::npos) << text;
    unlink(out.c_str());
}

TEST(Process, StopEndsByPidEvenWhenTermIsIgnored)
{
    {
        rig::Process p({"sleep", "30"});
        ASSERT_GT(p.pid(), 0);
        EXPECT_TRUE(p.running());
        EXPECT_FALSE(p.waitExit(50));
        rig::Exit e = p.stop(2000);
        EXPECT_EQ(e.signal, SIGTERM);
        EXPECT_FALSE(p.running());
    }
    {
        // Started with a marker file so we know the trap is in place before stopping.
        std::string ready = rig::scratchDir() + "/trap-" + std::to_string(getpid());
        rig::Process p({"sh", "-c", "trap '' TERM; : > " + ready + "; while :; do sleep 1; done"});
        ASSERT_GT(p.pid(), 0);
        rig::waitUntil([&] { return access(ready.c_str(), F_OK) == 0; }, 5000);
        rig::Exit e = p.stop(300);
        EXPECT_EQ(e.signal, SIGKILL);
        unlink(ready.c_str());
    }
    pid_t pid;
    {
        rig::Process p({"sleep", "30"});
        pid = p.pid();
        ASSERT_GT(pid, 0);
    }
    EXPECT_EQ(kill(pid, 0), -1) << "the destructor ends and reaps the child";
    EXPECT_EQ(errno, ESRCH);
}

TEST(Process, DetachedDaemonFoundByNameAndEnded)
{
    NEED_RIG();  // outside the rig other processes of that name may exist
    // setsid + & detaches the sleep the way a daemon does: it is not our child.
    rig::Process launcher({"sh", "-c", "setsid sleep 37 </dev/null >/dev/null 2>&1 &"});
    ASSERT_TRUE(launcher.waitExit(5000));
    std::vector<pid_t> pids;
    rig::waitUntil([&] { return !(pids = rig::pidsOf("sleep")).empty(); }, 5000);
    ASSERT_EQ(pids.size(), 1u);
    EXPECT_TRUE(rig::endPid(pids[0], 2000));
    EXPECT_TRUE(rig::pidsOf("sleep").empty());
}

}  // namespace
