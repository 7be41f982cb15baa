// The serial shell on a real pseudo-terminal: set-up failures as a pty without
// the serial-driver ioctls produces them, chunked reads, the receive wait and a
// vanished line.
#include "serlink_serial.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "serlink_frame.h"
#include "serlink_ini.h"
#include "test_support.h"

namespace {

struct Pty {
    int master = -1;
    std::string slave;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slave = ptsname(master);
    }
    ~Pty() {
        if (master >= 0) close(master);
    }
};

class Serial : public ::testing::Test {
protected:
    drvtest::LogCapture log;
    void SetUp() override {
        core_reset();
        ini_defaults();
    }
    void TearDown() override { serial_close(); }
};

TEST_F(Serial, TermiosIs7E1RawAtTheConfiguredSpeed) {
    struct { int code; speed_t speed; } cases[] = {
        {1, B4800}, {2, B9600}, {3, B19200}, {4, B38400}, {0, B19200}, {5, B19200}, {-1, B19200}};
    for (auto& c : cases) {
        struct termios t;
        memset(&t, 0xFF, sizeof t);
        serial_termios(c.code, &t);
        EXPECT_EQ(cfgetospeed(&t), c.speed) << c.code;
        EXPECT_EQ(cfgetispeed(&t), c.speed) << c.code;
        EXPECT_EQ(t.c_iflag, (tcflag_t)IGNPAR);
        EXPECT_EQ(t.c_oflag, (tcflag_t)ONLRET);
        EXPECT_EQ(t.c_cflag & ~CBAUD, (tcflag_t)(CS7 | PARENB | CREAD | CLOCAL));
        EXPECT_EQ(t.c_lflag, 0u);
        EXPECT_EQ(t.c_cc[VMIN], 1);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
}

TEST_F(Serial, OpenFailures) {
    snprintf(device, sizeof device, "%s", "/dev/nothere");
    EXPECT_EQ(serial_open(), -1);
    ASSERT_EQ(log.texts().size(), 1u);
    EXPECT_EQ(log.texts()[0], std::string("open (") + strerror(ENOENT) + ")");
    EXPECT_EQ(fd, -1);

    // A pty has no serial driver behind it: the serial-driver step fails.
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    ASSERT_LT(pty.slave.size(), sizeof device);
    snprintf(device, sizeof device, "%s", pty.slave.c_str());
    log.clear();
    EXPECT_EQ(serial_open(), -2);
    ASSERT_EQ(log.texts().size(), 1u);
    EXPECT_EQ(log.texts()[0], std::string("Cannot get serial info (") + strerror(ENOTTY) + ")");
    EXPECT_EQ(fd, -1) << "closed after a failed serial-driver step";
}

TEST_F(Serial, ReceiverOnAPty) {
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    fd = open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    struct termios raw;
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    timeout_usec = 200000;
    PosixSerialLine line;
    serial_line = &line;

    // Noise, then a frame; the CR ends it.
    const char frame[] = "zz\x02" "3GP\x03" "27\r";
    ASSERT_EQ(write(pty.master, frame, sizeof frame - 1), (ssize_t)sizeof frame - 1);
    uint8_t dest[ZR_FRAME_MAX] = {};
    EXPECT_EQ(data_rcv(dest), 7);
    EXPECT_EQ(std::string((char*)dest, 7), "\x02" "3GP\x03" "27");

    // An incomplete frame ends in the receive wait with what was stored copied.
    ASSERT_EQ(write(pty.master, "\x02" "12", 3), 3);
    memset(dest, 0, sizeof dest);
    EXPECT_EQ(data_rcv(dest), ZRST_TIMEOUT);
    EXPECT_EQ(std::string((char*)dest), "\x02" "12");

    // The other end goes away: a read failure, nothing copied.
    close(pty.master);
    pty.master = -1;
    memset(dest, 0x5A, sizeof dest);
    EXPECT_EQ(data_rcv(dest), ZRST_SELRECV);
    EXPECT_EQ(dest[0], 0x5A);
    ASSERT_EQ(log.texts().size(), 1u);
    EXPECT_EQ(log.texts()[0].rfind("read (", 0), 0u);
}

}  // namespace
