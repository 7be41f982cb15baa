// deadline: the two ways a wait treats a deadline that passed before it looked
// (what is ready counts, or nothing more is done), a connect that is not even tried
// after the time, and a deadline without limit.
#include "deadline.h"

#include "posix_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace {

TEST(Deadline, PassedDeadlineLooksOnceOrGivesUp) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "x", 1), 1);  // ready for reading from the start
    orv::Deadline passed = orv::Deadline::in(0);
    ASSERT_TRUE(passed.passed());
    EXPECT_EQ(passed.leftMs(), 0);
    EXPECT_EQ(orv::waitFd(p[0], POLLIN, passed, orv::AtDeadline::LookOnce), orv::Wait::Ready);
    EXPECT_EQ(orv::waitFd(p[0], POLLIN, passed, orv::AtDeadline::GiveUp), orv::Wait::TimedOut);
    // Nothing to read: either way the wait ends by its deadline.
    char c;
    ASSERT_EQ(read(p[0], &c, 1), 1);
    for (auto at : {orv::AtDeadline::LookOnce, orv::AtDeadline::GiveUp})
        EXPECT_EQ(orv::waitFd(p[0], POLLIN, orv::Deadline::in(20), at), orv::Wait::TimedOut);
    close(p[0]);
    close(p[1]);
}

TEST(Deadline, WithoutLimitWaitsForTheDescriptor) {
    orv::Deadline none = orv::Deadline::none();
    EXPECT_FALSE(none.passed());
    EXPECT_EQ(none.leftMs(), -1);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[1]);  // the end of file makes the read side ready
    EXPECT_TRUE(drvtest::endsOnItsOwn([&] {
        if (orv::waitFd(p[0], POLLIN, orv::Deadline::none(), orv::AtDeadline::GiveUp) != orv::Wait::Ready) _exit(1);
    }));
    close(p[0]);
}

TEST(Deadline, ConnectAfterTheTimeIsNotTriedWhenGivingUp) {
    drvtest::LoopbackListener l;
    fcntl(l.fd, F_SETFL, fcntl(l.fd, F_GETFL) | O_NONBLOCK);
    struct Case {
        orv::Deadline d;
        int want;
        bool timedOut;
    } cases[] = {
        {orv::Deadline::in(0), ETIMEDOUT, true},
        {orv::Deadline::in(10000), 0, false},
    };
    for (const Case& c : cases) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        bool timedOut = !c.timedOut;
        EXPECT_EQ(orv::connectWithin(s, (sockaddr*)&l.addr, sizeof l.addr, c.d, orv::AtDeadline::GiveUp, &timedOut),
                  c.want);
        EXPECT_EQ(timedOut, c.timedOut);
        // Given up: the listener never saw a connection (a made one is there in time).
        pollfd p{l.fd, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, c.want == 0 ? 10000 : 0), c.want == 0 ? 1 : 0);
        int conn = l.accept();
        EXPECT_EQ(conn >= 0, c.want == 0);
        if (conn >= 0) close(conn);
        close(s);
    }
}

}  // namespace
