#include "fdconn.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

struct Pair {
    int fd[2];
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~Pair() {
        if (fd[0] >= 0) close(fd[0]);
        if (fd[1] >= 0) close(fd[1]);
    }
};

TEST(FdConn, LinesAcrossReadsAndPieces) {
    Pair p;
    std::string in = "?cmd=hel";
    in += "lo\n" + std::string(1500, 'a') + "\nlast";
    ASSERT_EQ(write(p.fd[1], in.data(), in.size()), (ssize_t)in.size());
    shutdown(p.fd[1], SHUT_WR);
    drv::FdConn c(p.fd[0]);
    char buf[1024];
    EXPECT_EQ(c.getLine(buf, sizeof buf), 11);
    EXPECT_STREQ(buf, "?cmd=hello\n");
    EXPECT_EQ(c.getLine(buf, sizeof buf), 1023);
    EXPECT_EQ(c.getLine(buf, sizeof buf), 1500 - 1023 + 1);
    EXPECT_EQ(c.getLine(buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "last");
    EXPECT_EQ(c.getLine(buf, sizeof buf), 0);
}

TEST(FdConn, WritesOnFlushAndNoticesAGoneClient) {
    Pair p;
    drv::FdConn c(p.fd[0]);
    c.out("?cmd=%s&status=OK\n", "hello");
    char buf[64];
    ASSERT_EQ(recv(p.fd[1], buf, sizeof buf, MSG_DONTWAIT), -1);  // nothing before flush
    c.flush();
    ssize_t n = read(p.fd[1], buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "?cmd=hello&status=OK\n");
    close(p.fd[1]);
    p.fd[1] = -1;
    signal(SIGPIPE, SIG_IGN);
    c.out("x\n");
    c.flush();
    EXPECT_TRUE(c.broken());
}

TEST(FdConn, LargeAnswerIsWrittenWhole) {
    Pair p;
    drv::FdConn c(p.fd[0]);
    std::string big(70000, 'l');
    c.out("?cmd=get_leaves&status=OK&val=%s\n", big.c_str());
    pid_t pid = fork();
    if (pid == 0) {
        c.flush();
        _exit(0);
    }
    close(p.fd[0]);
    p.fd[0] = -1;
    std::string got;
    char buf[8192];
    ssize_t n;
    while ((n = read(p.fd[1], buf, sizeof buf)) > 0) got.append(buf, n);
    EXPECT_EQ(got.size(), 70000u + 31);
    EXPECT_EQ(got.substr(got.size() - 3), "ll\n");
}

}  // namespace

namespace {
int g_served = 0;
void countHello(drv::Session& s) {
    g_served++;
    s.conn.out("?cmd=hello&status=OK\n");
}

// A client that sent requests and went away: the first answer fails, and the
// requests still buffered are not served (each could cost the field network a
// whole exchange for an answer nobody reads).
TEST(FdConn, GoneClientsBufferedRequestsAreNotServed) {
    Pair p;
    std::string in;
    for (int i = 0; i < 50; i++) in += "?cmd=hello\n";
    ASSERT_EQ(write(p.fd[1], in.data(), in.size()), (ssize_t)in.size());
    close(p.fd[1]);
    p.fd[1] = -1;
    signal(SIGPIPE, SIG_IGN);
    const drv::Command cmds[] = {{"he", "hello", countHello}};
    const drv::Dialect d = {"t", "1", cmds, 1, nullptr, nullptr, nullptr};
    drv::FdConn c(p.fd[0]);
    g_served = 0;
    drv::serve(c, d);
    EXPECT_TRUE(c.gone());
    EXPECT_EQ(g_served, 1);
}
}  // namespace
