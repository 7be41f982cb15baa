// The socket link over loopback: connect failures release the lock they took, a
// silent gateway times the read out, a closing one reads 0.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/sem.h>
#include <sys/socket.h>
#include <unistd.h>

#include "devlock.h"
#include "posix_test_support.h"
#include "test_support.h"
#include "timedio.h"
#include "utlink.h"

namespace {
using Listener = drvtest::LoopbackListener;

int lockValue() { return semctl(devlock_id(), 0, GETVAL); }

class UtLinkTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(devlock_create(), 0); }
    static void TearDownTestSuite() { semctl(devlock_id(), 0, IPC_RMID); }
};

TEST_F(UtLinkTest, ConnectFailuresReleaseTheLock) {
    int closedPort;
    {
        Listener l;
        closedPort = l.port;
    }
    drvtest::LogCapture log;
    struct {
        int port;
        bool take;
    } rows[] = {{closedPort, true}, {closedPort, false}, {0, true}, {70000, true}, {-1, true}};
    for (auto& r : rows) {
        EXPECT_EQ(ut_openandinit("127.0.0.1", r.port, 500, r.take), -1) << r.port;
        EXPECT_EQ(lockValue(), 1) << r.port;
        ASSERT_FALSE(log.all().empty());
        EXPECT_EQ(log.all().back().text, "failed to connect host: 127.0.0.1, port " + std::to_string(r.port));
        EXPECT_EQ(log.all().back().prio, LOG_WARNING);
    }
}

TEST_F(UtLinkTest, ReadTimesOutClosesAndDelivers) {
    Listener l;
    int s = ut_openandinit("127.0.0.1", l.port, 500, true);
    ASSERT_GE(s, 0);
    EXPECT_EQ(lockValue(), 0);  // held from the connect to the close
    int peer = l.accept();
    ASSERT_GE(peer, 0);
    char buf[16];
    EXPECT_EQ(ut_read(s, buf, sizeof buf, 100), -1);  // accepted, never answered
    ASSERT_EQ(write(peer, "\x00\x01\x02", 3), 3);
    EXPECT_EQ(ut_read(s, buf, 2, 500), 2);  // at most size bytes
    EXPECT_EQ(ut_read(s, buf, sizeof buf, 500), 1);
    EXPECT_EQ(buf[0], 2);
    close(peer);
    EXPECT_EQ(ut_read(s, buf, sizeof buf, 500), 0);
    // A gateway that went away must not end the process by SIGPIPE.
    UtSocketLink link;
    for (int i = 0; i < 3; i++) link.send(s, "x", 1);
    ut_close(s, true);
    EXPECT_EQ(lockValue(), 1);
}

// The process held up between fixing the limit and the call (a busy appliance)
// must still come back: with a one-shot timer the connect to a gateway that never
// completes it, or the read from one that never answers, blocked for good with the
// lock held. Run in a child so that a regression ends in a failure, not a hang.
TEST_F(UtLinkTest, HeldUpProcessStillGivesUpAndFreesTheLock) {
    Listener l;
    int s = ut_openandinit("127.0.0.1", l.port, 500, true);
    ASSERT_GE(s, 0);
    int peer = l.accept();
    ASSERT_GE(peer, 0);
    ut_close(s, true);
    Listener full(0);
    ASSERT_TRUE(full.fill());
    bool ended = drvtest::endsOnItsOwn([&] {
        tio_test_delay = [] { usleep(300 * 1000); };
        drvtest::LogCapture log;
        if (ut_openandinit("127.0.0.1", full.port, 50, true) != -1 || lockValue() != 1) _exit(1);
        if (log.all().empty() || log.all().back().text != "failed to connect host: 127.0.0.1, port " + std::to_string(full.port))
            _exit(2);
        int c = ut_openandinit("127.0.0.1", l.port, 500, true);
        if (c < 0) _exit(3);
        char buf[4];
        if (ut_read(c, buf, sizeof buf, 50) != -1) _exit(4);
        ut_close(c, true);
        if (lockValue() != 1) _exit(5);
    });
    EXPECT_TRUE(ended);
    close(peer);
}
}  // namespace
