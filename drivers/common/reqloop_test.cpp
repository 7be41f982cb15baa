#include "reqloop.h"

#include <gtest/gtest.h>

#include <string>

#include "ov3.h"
#include "test_support.h"

namespace {

int g_kills, g_hups;
std::string g_raw;

// Stand-in commands: each names itself and what it saw, so the tests see which
// command the loop chose and with which pairs.
void echo_cmd(drv::Session& s) {
    const char* node = ov3_value("node");
    s.trace("!trace %s\n", s.command->name);
    s.conn.out("?cmd=%s&status=OK&val=%s\n", s.command->name, node ? node : "-");
}

const drv::Command kTable1[] = {
    {"he", "hello", drv::cmd_hello},        {"k", "kill", drv::cmd_kill},
    {"hu", "hup", drv::cmd_hup},            {"v", "version", drv::cmd_version},
    {"get_i", "get_ifs", echo_cmd},         {"get_h", "get_hwaddr", echo_cmd},
    {"get_leaves_", "get_leaves_ex", echo_cmd}, {"get_l", "get_leaves", echo_cmd},
    {"r", "rescan", echo_cmd},              {"get_v", "get_value", echo_cmd},
};
const drv::Command kTable2[] = {
    {"he", "hello", drv::cmd_hello}, {"k", "kill", drv::cmd_kill}, {"hu", "hup", drv::cmd_hup},
    {"v", "version", drv::cmd_version}, {"get_l", "get_leaves", echo_cmd},
    {"r", "rescan", echo_cmd}, {"get_v", "get_value", echo_cmd},
};

void raw1(drv::Session& s, char* meta) {
    g_raw = meta;
    s.conn.out("!%s. OK, send %s to node-network.\n", meta, meta + 1);
}

const drv::Dialect kD1 = {"gatex1d", "1.18 (Dec 20 2011 10:53:25)", kTable1, std::size(kTable1), raw1,
                          [] { g_kills++; }, [] { g_hups++; }};
const drv::Dialect kD2 = {"gatex2d", "2.5 (Jan 18 2012 10:46:12)", kTable2, std::size(kTable2), nullptr,
                          [] { g_kills++; }, [] { g_hups++; }};

std::string run(const drv::Dialect& d, const std::string& input, drvtest::StringConn** keep = nullptr) {
    static drvtest::StringConn* last = nullptr;
    delete last;
    last = new drvtest::StringConn(input);
    drv::serve(*last, d);
    if (keep) *keep = last;
    return last->out;
}

class ReqLoop : public ::testing::Test {
protected:
    void SetUp() override { g_kills = g_hups = 0; g_raw.clear(); }
};

TEST_F(ReqLoop, CommandRecognitionByPrefix) {
    const struct { const char* line; const char* answer1; const char* answer2; } cases[] = {
        {"?cmd=hello\n", "?cmd=hello&status=OK\n", "?cmd=hello&status=OK\n"},
        {"cmd=hello\n", "?cmd=hello&status=OK\n", "?cmd=hello&status=OK\n"},
        {"?cmd=he\n", "?cmd=hello&status=OK\n", "?cmd=hello&status=OK\n"},
        {"?cmd=verbose\n", "?cmd=version&status=OK&val=1.18 (Dec 20 2011 10:53:25)\n",
         "?cmd=version&status=OK&val=2.5 (Jan 18 2012 10:46:12)\n"},
        {"?cmd=get_leaves_ex\n", "?cmd=get_leaves_ex&status=OK&val=-\n", "?cmd=get_leaves&status=OK&val=-\n"},
        {"?cmd=get_leaves\n", "?cmd=get_leaves&status=OK&val=-\n", "?cmd=get_leaves&status=OK&val=-\n"},
        {"?cmd=get_ifs\n", "?cmd=get_ifs&status=OK&val=-\n", "?cmd=get_ifs&status=EINVALCMD\n"},
        {"?cmd=get_hwaddr\n", "?cmd=get_hwaddr&status=OK&val=-\n", "?cmd=get_hwaddr&status=EINVALCMD\n"},
        {"?cmd=get_valueXYZ&node=3\n", "?cmd=get_value&status=OK&val=3\n", "?cmd=get_value&status=OK&val=3\n"},
        {"?cmd=rescan\n", "?cmd=rescan&status=OK&val=-\n", "?cmd=rescan&status=OK&val=-\n"},
        {"?cmd = get_value & node = 2 \n", "?cmd=get_value&status=OK&val=2\n", "?cmd=get_value&status=OK&val=2\n"},
        {" ?cmd=hello\n", "?status=ENOCMD\n", "?status=ENOCMD\n"},
        {"?node=1\n", "?status=ENOCMD\n", "?status=ENOCMD\n"},
        {"?cmd=hello&cmd=kill\n", "?cmd=hello&status=OK\n", "?cmd=hello&status=OK\n"},
        {"?cmd=h\n", "?cmd=h&status=EINVALCMD\n", "?cmd=h&status=EINVALCMD\n"},
        {"?cmd=\n", "?cmd=&status=EINVALCMD\n", "?cmd=&status=EINVALCMD\n"},
        {"?cmd=xyz\n", "?cmd=xyz&status=EINVALCMD\n", "?cmd=xyz&status=EINVALCMD\n"},
        {"\n", "?status=ENOCMD\n", "?status=ENOCMD\n"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(run(kD1, c.line), c.answer1) << c.line;
        EXPECT_EQ(run(kD2, c.line), c.answer2) << c.line;
    }
    EXPECT_EQ(g_kills, 0);
}

TEST_F(ReqLoop, KillAndHupAnswerThenClose) {
    drvtest::StringConn* c;
    EXPECT_EQ(run(kD1, "?cmd=kxyz\n?cmd=hello\n", &c), "?cmd=kill&status=OK\n");
    EXPECT_EQ(c->flushed, "?cmd=kill&status=OK\n");
    EXPECT_EQ(c->linesRead, 1);
    EXPECT_EQ(g_kills, 1);
    EXPECT_EQ(run(kD2, "?cmd=hup\n?cmd=hello\n", &c), "?cmd=hup&status=OK\n");
    EXPECT_EQ(c->linesRead, 1);
    EXPECT_EQ(g_hups, 1);
}

TEST_F(ReqLoop, MetaCommands) {
    const struct { const char* line; const char* answer; bool closes; } cases[] = {
        {"!q\r\n", "!q. OK, closing connection.\n", true},
        {"!quit now\r\n", "!quit now. OK, closing connection.\n", true},
        {"!v\r\n", "!v. OK, verbose-mode on.\n", false},
        {"!s\r\n", "!s. OK, verbose-mode off.\n", false},
        {"!V\r\n", "!V. OK, gatex1d version:1.18 (Dec 20 2011 10:53:25).\n", false},
        {"!v\n", "!. Sorry, unknown meta command.\n", false},  // LF alone: the v is cut
        {"!x\r\n", "!x. Sorry, unknown meta command.\n", false},
        {"!\n", "!. Sorry, unknown meta command.\n", false},
        {"!!%01#RDD\r\n", "!!%01#RDD. OK, send %01#RDD to node-network.\n", false},
    };
    for (auto& c : cases) {
        drvtest::StringConn* conn;
        std::string out = run(kD1, std::string(c.line) + "?cmd=hello\n", &conn);
        std::string want = std::string(c.answer) + (c.closes ? "" : "?cmd=hello&status=OK\n");
        EXPECT_EQ(out, want) << c.line;
    }
    EXPECT_EQ(g_raw, "!%01#RDD");
    // A lone "!" at the end of input keeps its "!" when two characters are cut.
    EXPECT_EQ(run(kD1, "!"), "!. Sorry, unknown meta command.\n");
    // Without a raw handler "!!" is an unknown meta command.
    EXPECT_EQ(run(kD2, "!!host:502/x\r\n"), "!!host:502/x. Sorry, unknown meta command.\n");
    EXPECT_EQ(run(kD2, "!V\r\n"), "!V. OK, gatex2d version:2.5 (Jan 18 2012 10:46:12).\n");
}

TEST_F(ReqLoop, MetaKillAndRestartSignalThenClose) {
    EXPECT_EQ(run(kD1, "!k\r\n?cmd=hello\n"), "!k. OK, trying to kill me.\n");
    EXPECT_EQ(run(kD1, "!h\r\n?cmd=hello\n"), "!h. OK, trying to restart me.\n");
    EXPECT_EQ(g_kills, 1);
    EXPECT_EQ(g_hups, 1);
}

TEST_F(ReqLoop, VerboseIsPerConnectionAndTracesPrecedeAnswer) {
    EXPECT_EQ(run(kD1, "?cmd=get_value\n!v\r\n?cmd=get_value\n!s\r\n?cmd=get_value\n"),
              "?cmd=get_value&status=OK&val=-\n"
              "!v. OK, verbose-mode on.\n"
              "!trace get_value\n?cmd=get_value&status=OK&val=-\n"
              "!s. OK, verbose-mode off.\n"
              "?cmd=get_value&status=OK&val=-\n");
    // A new connection starts with verbose off.
    EXPECT_EQ(run(kD1, "?cmd=get_value\n"), "?cmd=get_value&status=OK&val=-\n");
}

TEST_F(ReqLoop, EveryAnswerFlushedBeforeNextRead) {
    drvtest::StringConn* c;
    run(kD1, "?cmd=hello\n?cmd=hello\n!v\r\n?node=1\n?cmd=zz\n", &c);
    EXPECT_EQ(c->linesRead, 5);
    EXPECT_FALSE(c->answeredUnflushed);
    EXPECT_EQ(c->flushed, c->out);
}

TEST_F(ReqLoop, LongLinesArriveInPieces) {
    // 1023 characters are one request; the 1024th starts a piece of its own.
    std::string first = "?cmd=hello&pad=" + std::string(1023 - 15, 'x');
    ASSERT_EQ(first.size(), 1023u);
    std::string out = run(kD1, first + "cmd=version\n");
    EXPECT_EQ(out, "?cmd=hello&status=OK\n?cmd=version&status=OK&val=1.18 (Dec 20 2011 10:53:25)\n");
    // A last line without line feed is still a request.
    EXPECT_EQ(run(kD1, "?cmd=hello"), "?cmd=hello&status=OK\n");
}

TEST_F(ReqLoop, HostileBytes) {
    std::string input("?cmd=he\0llo\n", 12);
    input += std::string("\xff\xfe=\x01&cmd=\xff\n");
    input += std::string(5000, '&') + "\n";
    input += std::string("!\0\r\n", 4);
    std::string out = run(kD1, input + "?cmd=hello\n");
    EXPECT_EQ(out.substr(0, 21), "?cmd=hello&status=OK\n");
    EXPECT_NE(out.find("?cmd=\xff&status=EINVALCMD\n"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 21), "?cmd=hello&status=OK\n");
}

}  // namespace
