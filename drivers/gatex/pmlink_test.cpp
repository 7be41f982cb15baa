// pmlink: line settings, the timed read on a real pty, and the failure paths of
// opening a device, each of which must give the device lock back.
#include "pmlink.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/sem.h>
#include <unistd.h>
#include <vector>

#include "devlock.h"
#include "log.h"
#include "posix_test_support.h"
#include "test_support.h"
#include "timedio.h"

namespace {
struct Pty {
    int master = -1, slave = -1;
    std::string path;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0) return;
        path = ptsname(master);
        slave = open(path.c_str(), O_RDWR | O_NOCTTY);
    }
    ~Pty() {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
};

class Link : public ::testing::Test {
protected:
    drvtest::LogCapture log;
    void SetUp() override {
        ASSERT_EQ(devlock_create(), 0);
    }
    void TearDown() override {
        semctl(devlock_id(), 0, IPC_RMID);
    }
    int lockValue() { return semctl(devlock_id(), 0, GETVAL); }
};
}  // namespace

TEST(LinkSettings, EightOddOneCanonicalNoEcho) {
    struct termios t;
    memset(&t, 0, sizeof t);
    t.c_cc[VMIN] = 7;
    t.c_lflag = ECHO | ISIG;
    t.c_iflag = IXON;
    t.c_oflag = OPOST | ONLCR;
    pm_line_settings(&t, B19200);
    EXPECT_EQ(t.c_iflag, (tcflag_t)(IGNBRK | IGNPAR | ICRNL));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, (tcflag_t)ICANON);
    EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CREAD | CLOCAL), (tcflag_t)(PARENB | PARODD | CREAD | CLOCAL));
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B19200);
    EXPECT_EQ(t.c_cc[VMIN], 7);  // control characters stay as they were
}

TEST(LinkSettings, BaudNames) {
    struct Case {
        const char* text;
        int baud;
        const char* name;
    } cases[] = {
        {"4800", 4800, "B4800"}, {"9600", 9600, "B9600"}, {"19200", 19200, "B19200"},
        {"38400", 38400, "B38400"}, {"2400", 9600, "B9600"}, {"", 9600, "B9600"}, {"38400x", 9600, "B9600"},
    };
    for (const Case& c : cases) {
        int b = pm_parse_baud(c.text);
        EXPECT_EQ(b, c.baud) << c.text;
        EXPECT_STREQ(pm_speed_name(b), c.name) << c.text;
    }
    EXPECT_EQ(pm_speed(4800), (speed_t)B4800);
    EXPECT_EQ(pm_speed(1234), (speed_t)B9600);
}

TEST_F(Link, ReadTimesOutWithEmptyBuffer) {
    Pty p;
    ASSERT_GE(p.slave, 0);
    char buf[64];
    memset(buf, 'x', sizeof buf);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(pm_read(p.slave, buf, sizeof buf, 200), -1);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(buf[0], '\0');
    EXPECT_GE(ms, 150);  // it really waited for the timer
}

// Held up between fixing the limit and the read (a busy appliance), the read from
// a silent meter still comes back; a one-shot timer that fired before the read was
// entered left it waiting for good, with the device lock held.
TEST_F(Link, HeldUpReadStillTimesOut) {
    Pty p;
    ASSERT_GE(p.slave, 0);
    EXPECT_TRUE(drvtest::endsOnItsOwn([&] {
        tio_test_delay = [] { usleep(300 * 1000); };
        char buf[16];
        memset(buf, 'x', sizeof buf);
        if (pm_read(p.slave, buf, sizeof buf, 50) != -1 || buf[0] != '\0') _exit(1);
    }));
}

TEST_F(Link, ReadReturnsOneLineWithCarriageReturnAsLineFeed) {
    Pty p;
    ASSERT_GE(p.slave, 0);
    struct termios t;
    ASSERT_EQ(tcgetattr(p.slave, &t), 0);
    pm_line_settings(&t, B9600);
    t.c_cflag &= ~(tcflag_t)(PARENB | PARODD);  // a pty keeps no parity
    ASSERT_EQ(tcsetattr(p.slave, TCSANOW, &t), 0);
    const char ans[] = "%01$RD0A00\r%02$RD";
    ASSERT_EQ(write(p.master, ans, sizeof ans - 1), (ssize_t)(sizeof ans - 1));
    char buf[64];
    EXPECT_EQ(pm_read(p.slave, buf, sizeof buf, 1000), 11);
    EXPECT_STREQ(buf, "%01$RD0A00\n");
    // Bounded by the buffer: size-1 bytes at most.
    ASSERT_EQ(write(p.master, "0123456789\r", 11), 11);
    char small[5];
    EXPECT_EQ(pm_read(p.slave, small, sizeof small, 1000), 4);
    EXPECT_STREQ(small, "%02$");
}

TEST_F(Link, OpenFailuresReleaseTheLock) {
    strcpy(pm_cfg.device, "/nonexistent/ttyUSB9");
    EXPECT_EQ(pm_openandinit(), -1);
    EXPECT_EQ(lockValue(), 1);
    ASSERT_FALSE(log.texts().empty());
    EXPECT_EQ(log.texts().back(), "failed to open device file: /nonexistent/ttyUSB9");

    // A pty has no serial driver: TIOCGSERIAL fails with ENOTTY, not EINVAL.
    Pty p;
    ASSERT_FALSE(p.path.empty());
    snprintf(pm_cfg.device, sizeof pm_cfg.device, "%s", p.path.c_str());
    log.clear();
    EXPECT_EQ(pm_openandinit(), -1);
    EXPECT_EQ(lockValue(), 1);
    ASSERT_EQ(log.texts().size(), 2u);
    EXPECT_EQ(log.texts()[0], "failed to get serial info: " + p.path);
    EXPECT_EQ(log.texts()[1], "ioctl(TIOCGSERIAL) failed for errno: " + std::to_string(ENOTTY) + ", (!= EINVAL)");

    // A file is no terminal either.
    char tmpl[] = "/tmp/pmlinkXXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    snprintf(pm_cfg.device, sizeof pm_cfg.device, "%s", tmpl);
    EXPECT_EQ(pm_openandinit(), -1);
    EXPECT_EQ(lockValue(), 1);
    unlink(tmpl);
}

TEST_F(Link, CloseReleasesTheLock) {
    ASSERT_EQ(devlock_take(), 0);
    EXPECT_EQ(lockValue(), 0);
    int fd = open("/dev/null", O_RDWR);
    pm_close(fd);
    EXPECT_EQ(lockValue(), 1);
}
