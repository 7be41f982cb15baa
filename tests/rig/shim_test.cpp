// Self-test of the serial shim: the probe program does the daemons' set-up steps on
// a real pty slave, with and without the shim preloaded; the test holds the master.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <sstream>

#include "rig.h"

namespace {

struct Pty {
    int master = -1;
    std::string slave;
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            slave = ptsname(master);
    }
    ~Pty()
    {
        if (master >= 0)
            close(master);
    }
};

struct ProbeRun {
    std::vector<std::string> lines;  // the probe's output, one per step
    std::string log;                 // ORV_SHIM_LOG contents
    int code = -1;
};

ProbeRun probe(const std::string& device, const std::vector<std::string>& steps, bool shim,
          const std::string& fail = "")
{
    static int n = 0;
    std::string base = rig::scratchDir() + "/shim-" + std::to_string(getpid()) + "-" +
                       std::to_string(++n);
    rig::Process::Options o;
    o.shim = shim;
    o.stdoutPath = base + ".out";
    o.env = {"ORV_SHIM_LOG=" + base + ".log", "ORV_SHIM_FAIL=" + fail};
    std::vector<std::string> argv = {rig::binDir() + "/rig_shimprobe", device};
    argv.insert(argv.end(), steps.begin(), steps.end());
    rig::Process p(argv, o);
    ProbeRun r;
    EXPECT_GT(p.pid(), 0) << p.error();
    auto e = p.waitExit(10000);
    EXPECT_TRUE(e) << "probe did not end";
    if (e && e->exited)
        r.code = e->code;
    std::istringstream in(rig::readFile(base + ".out"));
    for (std::string l; std::getline(in, l);)
        r.lines.push_back(l);
    r.log = rig::readFile(base + ".log");
    unlink((base + ".out").c_str());
    unlink((base + ".log").c_str());
    return r;
}

std::vector<std::string> logLines(const std::string& log, const std::string& step)
{
    std::vector<std::string> out;
    std::istringstream in(log);
    for (std::string l; std::getline(in, l);)
        if (l.rfind(step + " ", 0) == 0)
            out.push_back(l);
    return out;
}

#define NEED_PTY(p)                                                        \
    if (!rig::inRig()) GTEST_SKIP() << "needs the appliance rig";          \
    ASSERT_FALSE((p).slave.empty()) << "no pty"

// What a pty does to the daemons' set-up without the shim: the two differences the
// shim exists for.
TEST(ShimPty, WithoutShimSerialIoctlsFailAndParityIsLost)
{
    Pty pty;
    NEED_PTY(pty);
    ProbeRun r = probe(pty.slave, {"open", "gserial", "set=7E1@19200", "get"}, false);
    ASSERT_EQ(r.code, 0);
    ASSERT_EQ(r.lines.size(), 4u);
    EXPECT_EQ(r.lines[1], "gserial fail ENOTTY");
    EXPECT_EQ(r.lines[2], "set ok");  // the first one goes through...
    EXPECT_EQ(r.lines[3], "get ok speed=19200 cs=8 parenb=0 parodd=0 cstopb=0 cread=1");  // ...as 8N1
    EXPECT_EQ(r.log, "") << "nothing intercepted without the shim";
}

TEST(ShimPty, SerialRecordLikeUsbAdapterPerDescriptor)
{
    Pty pty;
    NEED_PTY(pty);
    std::string line = pty.slave.substr(pty.slave.rfind('/') + 1);
    ProbeRun r = probe(pty.slave,
                  {"open", "gserial", "sserial=1", "gserial", "open", "gserial"}, true);
    ASSERT_EQ(r.code, 0);
    std::string fresh = "gserial ok type=0 line=" + line + " port=0 flags=0x2000 baud_base=24000000";
    std::vector<std::string> want = {
        "open ok", fresh, "sserial ok",
        "gserial ok type=0 line=" + line + " port=1 flags=0x2000 baud_base=24000000",
        "open ok", fresh,  // a reopen starts from the driver's record again
    };
    EXPECT_EQ(r.lines, want);
    auto set = logLines(r.log, "tiocsserial");
    ASSERT_EQ(set.size(), 1u) << r.log;
    EXPECT_NE(set[0].find(" dev=" + pty.slave + " "), std::string::npos) << set[0];
    EXPECT_NE(set[0].find(" port=1 "), std::string::npos) << set[0];
    EXPECT_NE(set[0].find(" result=0"), std::string::npos) << set[0];
    EXPECT_EQ(logLines(r.log, "tiocgserial").size(), 3u);
}

TEST(ShimPty, ParityLinesSetTwiceAndReportedBack)
{
    struct Case {
        const char* format;
        const char* want;  // what tcgetattr reports through the shim
    } cases[] = {
        {"7E1@19200", "get ok speed=19200 cs=7 parenb=1 parodd=0 cstopb=0 cread=1"},
        {"8O1@9600", "get ok speed=9600 cs=8 parenb=1 parodd=1 cstopb=0 cread=1"},
        {"8N2@38400", "get ok speed=38400 cs=8 parenb=0 parodd=0 cstopb=1 cread=1"},
        {"7O1@4800", "get ok speed=4800 cs=7 parenb=1 parodd=1 cstopb=0 cread=1"},
    };
    for (auto& c : cases) {
        Pty pty;
        NEED_PTY(pty);
        std::string set = std::string("set=") + c.format;
        // Twice on one descriptor, then again after a reopen, as the daemons do per
        // exchange; the reopen reports the line as last set before setting it.
        ProbeRun r = probe(pty.slave, {"open", "flush", set, "get", set, "open", "get", set, "get"}, true);
        ASSERT_EQ(r.code, 0) << c.format;
        std::vector<std::string> want = {"open ok", "flush ok", "set ok", c.want, "set ok",
                                         "open ok", c.want,     "set ok", c.want};
        EXPECT_EQ(r.lines, want) << c.format;

        // The pty itself carries the line as 8 bits without parity: seen from the
        // master, where no shim is loaded.
        termios t{};
        ASSERT_EQ(tcgetattr(pty.master, &t), 0);
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), 0u) << c.format;
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8)) << c.format;
    }
}

TEST(ShimPty, ForkedChildSettingsSeenByParent)
{
    Pty pty;
    NEED_PTY(pty);
    ProbeRun r = probe(pty.slave, {"open", "forkset=7E1@9600", "get"}, true);
    ASSERT_EQ(r.code, 0);
    std::vector<std::string> want = {"open ok", "forkset ok",
                                     "get ok speed=9600 cs=7 parenb=1 parodd=0 cstopb=0 cread=1"};
    EXPECT_EQ(r.lines, want);
}

TEST(ShimPty, FailChosenStepWithChosenErrno)
{
    struct Case {
        const char* fail;
        std::vector<std::string> steps;
        std::vector<std::string> want;
    } cases[] = {
        {"tiocgserial", {"open", "gserial", "gserial"}, {"open ok", "gserial fail EINVAL", "gserial fail EINVAL"}},
        {"tiocgserial:EIO", {"open", "gserial"}, {"open ok", "gserial fail EIO"}},
        {"tiocsserial:EPERM", {"open", "gserial", "sserial=1"}, {"open ok", "gserial ok type=0 line=LINE port=0 flags=0x2000 baud_base=24000000", "sserial fail EPERM"}},
        {"tcsetattr@2", {"open", "set=7E1@19200", "set=7E1@19200", "set=7E1@19200"}, {"open ok", "set ok", "set fail EINVAL", "set ok"}},
        {"tcsetattr@1:ENXIO,tcsetattr@3:5", {"open", "set=8O1@9600", "set=8O1@9600", "set=8O1@9600"}, {"open ok", "set fail ENXIO", "set ok", "set fail EIO"}},
        {"tcgetattr:EIO", {"open", "get"}, {"open ok", "get fail EIO"}},
        {"tcflush:EBADF", {"open", "flush", "gserial"}, {"open ok", "flush fail EBADF", "gserial ok type=0 line=LINE port=0 flags=0x2000 baud_base=24000000"}},
    };
    for (auto& c : cases) {
        Pty pty;
        NEED_PTY(pty);
        std::string line = pty.slave.substr(pty.slave.rfind('/') + 1);
        ProbeRun r = probe(pty.slave, c.steps, true, c.fail);
        ASSERT_EQ(r.code, 0) << c.fail;
        std::vector<std::string> want = c.want;
        for (auto& w : want)
            if (size_t at = w.find("LINE"); at != std::string::npos)
                w.replace(at, 4, line);
        EXPECT_EQ(r.lines, want) << c.fail;
    }
}

TEST(ShimPty, FailedStepIsLoggedWithItsErrno)
{
    Pty pty;
    NEED_PTY(pty);
    ProbeRun r = probe(pty.slave, {"open", "set=7E1@19200"}, true, "tcsetattr:EIO");
    auto l = logLines(r.log, "tcsetattr");
    ASSERT_EQ(l.size(), 1u) << r.log;
    EXPECT_NE(l[0].find(" cs=7 parenb=1 parodd=0 "), std::string::npos) << l[0];
    EXPECT_NE(l[0].find(" result=-1 errno=EIO"), std::string::npos) << l[0];
}

TEST(ShimPty, LogRecordsTheLineAsAsked)
{
    Pty pty;
    NEED_PTY(pty);
    ProbeRun r = probe(pty.slave, {"open", "flush", "set=7E1@19200", "set=8O1@9600"}, true);
    ASSERT_EQ(r.code, 0);
    auto set = logLines(r.log, "tcsetattr");
    ASSERT_EQ(set.size(), 2u) << r.log;
    // Exactly how the line was set up, as the daemon asked for it.
    std::string dev = " dev=" + pty.slave + " when=TCSANOW";
    EXPECT_NE(set[0].find(dev + " speed=19200 cs=7 parenb=1 parodd=0 cmspar=0 cstopb=0 crtscts=0"
                                " cread=1 clocal=1 vmin=1 vtime=0 iflag=04 oflag=040 lflag=0 result=0"),
              std::string::npos)
        << set[0];
    EXPECT_NE(set[1].find(dev + " speed=9600 cs=8 parenb=1 parodd=1 cmspar=0 cstopb=0 crtscts=0"),
              std::string::npos)
        << set[1];
    auto flush = logLines(r.log, "tcflush");
    ASSERT_EQ(flush.size(), 1u) << r.log;
    EXPECT_NE(flush[0].find(" queue=TCIFLUSH result=0"), std::string::npos) << flush[0];
}

TEST(ShimPty, NonPtyDescriptorsPassThrough)
{
    if (!rig::inRig()) GTEST_SKIP() << "needs the appliance rig";
    ProbeRun r = probe("/dev/null", {"open", "gserial", "get", "set=7E1@19200"}, true, "tiocgserial:EIO");
    ASSERT_EQ(r.code, 0);
    std::vector<std::string> want = {"open ok", "gserial fail ENOTTY", "get fail ENOTTY",
                                     "set fail ENOTTY"};
    EXPECT_EQ(r.lines, want);
    EXPECT_EQ(r.log, "");
}

TEST(ShimPty, PtyOfAnotherDevptsInstancePassesThrough)
{
    // Stands for a developer's terminal: a pty that is not one of the rig's.
    if (!rig::inRig()) GTEST_SKIP() << "needs the appliance rig";
    std::string dir = rig::scratchDir() + "/otherpts";
    mkdir(dir.c_str(), 0755);
    ASSERT_EQ(mount("otherpts", dir.c_str(), "devpts", 0, "newinstance,ptmxmode=0666"), 0)
        << strerror(errno);
    int m = open((dir + "/ptmx").c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(m, 0);
    int n = -1, unlock = 0;
    ASSERT_EQ(ioctl(m, TIOCGPTN, &n), 0);
    ASSERT_EQ(ioctl(m, TIOCSPTLCK, &unlock), 0);
    ProbeRun r = probe(dir + "/" + std::to_string(n), {"open", "gserial"}, true);
    std::vector<std::string> want = {"open ok", "gserial fail ENOTTY"};
    EXPECT_EQ(r.lines, want);
    EXPECT_EQ(r.log, "");
    close(m);
    umount2(dir.c_str(), MNT_DETACH);
}

}  // namespace
