// timedio: each call ends by its deadline even when the process is held up
// between fixing the deadline and waiting (the case a one-shot timer loses), a
// connect the peer never completes times out, and data or an end arrive as such.
#include "timedio.h"

#include "posix_test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace {
// Held up longer than every limit below.
void holdUp() { usleep(300 * 1000); }

TEST(TimedIo, HeldUpBeforeTheWaitStillEndsByTheDeadline) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);  // p[1] stays open: the reader sees silence, not an end
    drvtest::LoopbackListener full(0);
    ASSERT_TRUE(full.fill());
    tio_test_delay = holdUp;
    struct Case {
        const char* what;
        std::function<void()> call;
    } cases[] = {
        {"read", [&] {
             char buf[8];
             if (tio_read(p[0], buf, sizeof buf, 50) != -1 || errno != ETIMEDOUT) _exit(1);
         }},
        {"wait", [&] {
             if (tio_wait(p[0], POLLIN, 50) != 0) _exit(1);
         }},
        {"connect", [&] {
             int s = socket(AF_INET, SOCK_STREAM, 0);
             if (tio_connect(s, (sockaddr*)&full.addr, sizeof full.addr, 50) != -1 || errno != ETIMEDOUT) _exit(1);
             // Left blocking, as the caller had it.
             if (fcntl(s, F_GETFL) & O_NONBLOCK) _exit(2);
         }},
    };
    for (const Case& c : cases) EXPECT_TRUE(drvtest::endsOnItsOwn(c.call)) << c.what;
    tio_test_delay = nullptr;
    close(p[0]);
    close(p[1]);
}

TEST(TimedIo, ReadsWhatIsThereAndTheEnd) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "abc", 3), 3);
    char buf[8];
    // Held up past the limit, data that is already there is still taken.
    tio_test_delay = holdUp;
    EXPECT_EQ(tio_read(p[0], buf, 2, 10), 2);
    tio_test_delay = nullptr;
    EXPECT_EQ(tio_read(p[0], buf, sizeof buf, 0), 1);
    EXPECT_EQ(buf[0], 'c');
    EXPECT_EQ(fcntl(p[0], F_GETFL) & O_NONBLOCK, 0);  // the descriptor's mode is kept
    close(p[1]);
    EXPECT_EQ(tio_read(p[0], buf, sizeof buf, 1000), 0);
    close(p[0]);
}

TEST(TimedIo, ConnectSucceedsOrReportsTheRefusal) {
    sockaddr_in a;
    {
        drvtest::LoopbackListener l;
        a = l.addr;
        int s = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(tio_connect(s, (sockaddr*)&a, sizeof a, 1000), 0);
        EXPECT_EQ(fcntl(s, F_GETFL) & O_NONBLOCK, 0);
        close(s);
    }
    int s = socket(AF_INET, SOCK_STREAM, 0);  // nobody listens on the port now
    EXPECT_EQ(tio_connect(s, (sockaddr*)&a, sizeof a, 1000), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    close(s);
}
}  // namespace
