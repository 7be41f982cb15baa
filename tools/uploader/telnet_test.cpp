// The remote command session against a scripted telnet peer on a virtual
// clock: exact bytes on the wire, line handling, the deadline and every
// failure block.
#include <gtest/gtest.h>

#include "fake_platform.h"

namespace uplder {
namespace {

using fake::FakeSocket;
using fake::Rig;

std::string M(int id) { return uplder_msg(id); }
std::string M(int id, const std::string& a) { return uplder_format(id, a); }
const std::string kWontEcho("\xff\xfc\x01", 3), kDontEcho("\xff\xfe\x01", 3);

TEST(TelnetLines, LastLineKeepsPrintableBytesOnly) {
    struct Case {
        std::vector<std::string> chunks;  // one chunk per read of the buffer
        std::string before, after;
    } cases[] = {
        {{"abc\r\n# "}, "", "# "},
        {{"line1\nline2\n"}, "", "line2"},
        {{"a\n\n\n"}, "", "a"},                                   // empty lines do not count
        {{std::string("\xff\xfb\x01\xff\xfb\x03", 6)}, "old", "old"},  // only telnet commands
        {{"\x01\x02\x1b\x7f"}, "old", std::string("\x7f", 1)},   // 0x7f is in 0x20..0xDF
        {{std::string("x\xe0y\xdfz", 5)}, "", std::string("xy\xdfz", 4)},
        {{"\r\n"}, "old", "old"},
    };
    for (const Case& c : cases) {
        Rig r;
        r.socket.onConnect = nullptr;
        r.socket.create();
        r.socket.startDeadline(1000);
        CTelnetArchive reader(r.u.timedSocket, CTelnetArchive::Load);
        if (!c.before.empty()) {
            r.socket.push(c.before + "\n");
            reader.readAvailable();
        }
        for (const std::string& ch : c.chunks) r.socket.push(ch);
        reader.readAvailable();
        EXPECT_EQ(reader.lastLine(), c.after) << testing::PrintToString(c.chunks);
    }
}

TEST(TelnetLines, ReadAvailableStopsAtTheEndOfTheBufferedChunk) {
    Rig r;
    r.socket.create();
    r.socket.startDeadline(1000);
    CTelnetArchive reader(r.u.timedSocket, CTelnetArchive::Load);
    r.socket.push("first\r\n");
    r.socket.push("second\r\n");
    reader.readAvailable();
    EXPECT_EQ(reader.lastLine(), "first");
    EXPECT_EQ(reader.received().size(), 7u);
    reader.readAvailable();
    EXPECT_EQ(reader.lastLine(), "second");
}

TEST(TelnetSession, UnpackSessionBytesOnTheWire) {
    Rig r;
    doTelnetUnTar(r.u, "../home/update_orv3.inc", "../home");
    std::vector<std::string> expected = {kWontEcho, kDontEcho, "root\r\n", "brolt362\r\n",
                                         "tar xzvf ../home/update_orv3.inc -C ../home\r\n",
                                         "rm ../home/update_orv3.inc\r\n"};
    // "login:" was in the first text: nothing of it is sent back.
    EXPECT_EQ(r.socket.writes, expected);
    EXPECT_EQ(r.socket.log, (std::vector<std::string>{"create", "deadline 90000", "connect 127.0.0.1:23", "stop", "close"}));
    EXPECT_EQ(r.console.out, "\r\n転送したデータを展開しています。\n" + M(IDS_UNPACKED) + "\n");
    EXPECT_TRUE(r.u.loginSeen);
    // Negotiation: read, pause, pause; login: four pauses, then one read for the
    // password prompt and one for the shell prompt; tar and rm: one read each.
    EXPECT_EQ(r.socket.pauses, 3 + 6 + 2);
}

// The tar and rm lines go out as the platform's bytes for them (on Windows the
// ANSI code page, as WinInet sent the names); a line without such bytes is never
// sent, and the unpack fails (message 39) rather than being reported as done.
TEST(TelnetSession, CommandLinesGoOutAsThePlatformsBytes) {
    Rig r;
    r.socket.wireBytes = [](const std::string& t, std::string& b) {
        b = t;
        for (size_t at; (at = b.find("日本語")) != std::string::npos;) b.replace(at, 9, "\x93\xFA\x96\x7B\x8C\xEA");
        return true;
    };
    doTelnetUnTar(r.u, "../日本語.inc", "..");
    ASSERT_GE(r.socket.writes.size(), 2u);
    EXPECT_EQ(r.socket.writes[r.socket.writes.size() - 2], "tar xzvf ../\x93\xFA\x96\x7B\x8C\xEA.inc -C ..\r\n");
    EXPECT_EQ(r.socket.writes.back(), "rm ../\x93\xFA\x96\x7B\x8C\xEA.inc\r\n");

    Rig bad;
    bad.socket.wireBytes = [](const std::string&, std::string&) { return false; };
    EXPECT_THROW(doTelnetUnTar(bad.u, "../\xE2\x82\xAC.inc", ".."), LocalReadFailure);
    EXPECT_EQ(bad.console.out, "\r\n転送したデータを展開しています。\n\n\n" + M(IDS_UNPACK_COMM_ERROR) + "\n");
    for (const std::string& w : bad.socket.writes) {
        EXPECT_NE(w.rfind("tar ", 0), 0u) << "a tar line went out";
        EXPECT_NE(w.rfind("rm ", 0), 0u) << "an rm line went out";
    }
    EXPECT_EQ(bad.socket.log.back(), "close");
}

TEST(TelnetSession, LaterSessionsDoNotLookForTheLoginPrompt) {
    Rig r;
    doTelnetUnTar(r.u, "../a.inc", "..");
    int first = r.socket.pauses;
    r.appliance.greeting = "Welcome\r\n";  // no "login:" this time
    r.socket.writes.clear();
    doTelnetUnTar(r.u, "../b.inc", "..");
    EXPECT_EQ(r.socket.pauses - first, 2 + 6 + 2);  // negotiation ends after one read and one pause
    EXPECT_EQ(r.socket.writes.front(), kWontEcho);
}

TEST(TelnetSession, PromptArrivingAfterABannerIsWaitedFor) {
    // The first text holds no "login:": it is sent back once, and the client
    // reads on instead of sending the same bytes for ever.
    Rig r;
    r.appliance.greeting = "Orvane telnet\r\n";
    auto appliance = r.socket.onSend;
    bool prompted = false;
    r.socket.onSend = [&](FakeSocket& s, const std::string& bytes) {
        if (!prompted) {
            prompted = true;
            s.push("login: ");
            return;
        }
        appliance(s, bytes);
    };
    doTelnetUnTar(r.u, "../a.inc", "..");
    ASSERT_GE(r.socket.writes.size(), 2u);
    EXPECT_EQ(r.socket.writes[0], "Orvane telnet\r\n");
    EXPECT_EQ(r.socket.writes[1], kWontEcho);
    EXPECT_EQ(r.appliance.commands.size(), 2u);
}

TEST(TelnetSession, BannerWithoutPromptEndsAtTheDeadline) {
    Rig r;
    r.appliance.greeting = "Orvane telnet\r\n";
    r.socket.onSend = nullptr;  // never says anything else
    EXPECT_THROW(doTelnetUnTar(r.u, "../a.inc", ".."), LocalReadFailure);
    EXPECT_EQ(r.socket.writes, std::vector<std::string>{"Orvane telnet\r\n"});  // sent back once only
    EXPECT_EQ(r.socket.now, 90000u);
    EXPECT_EQ(r.console.out, "\n\n" + M(IDS_LOGIN_TIMEOUT, "Orvane III") + "\n");
    EXPECT_TRUE(r.u.timedSocket.timedOut());
}

TEST(TelnetSession, PromptDetection) {
    struct Case {
        std::string shellReply;  // what the shell says after the password
        bool ends;
    } cases[] = {
        {"\r\n# ", true},
        {"motd with # inside\r\n", true},
        {"# shown earlier\r\nthen a last line\r\n", false},
        {"done\r\n$ ", false},
    };
    for (const Case& c : cases) {
        Rig r;
        r.socket.onConnect = nullptr;
        r.socket.onSend = [&](FakeSocket& s, const std::string& b) {
            if (b == "brolt362\r\n") s.push(c.shellReply);
        };
        r.socket.create();
        r.socket.startDeadline(30000);
        ASSERT_EQ(r.socket.connect("127.0.0.1", 23), IoResult::Ok);
        bool ended = true;
        try {
            loginAsRoot(r.u);
        } catch (const SessionTimeout&) {
            ended = false;
        }
        EXPECT_EQ(ended, c.ends) << c.shellReply;
    }
}

TEST(TelnetSession, UnpackFailureBlocks) {
    struct Case {
        const char* name;
        std::function<void(Rig&)> setup;
        std::string out;
    } cases[] = {
        {"socket library", [](Rig& r) { r.socket.startupFails = true; },
         "\n\n" + M(IDS_LOGIN_FAILED, "Orvane III") + "\n" + M(IDS_DETAILS) + "\n" + M(IDS_SOCKET_INIT_FAILED) + "\n\n"},
        {"create", [](Rig& r) { r.socket.createFails = true; },
         "\n\n" + M(IDS_LOGIN_FAILED, "Orvane III") + "\n" + M(IDS_DETAILS) +
             "\nCSocket.Create エラー; コード: 10024\n説明: sys10024\n"},
        {"timer", [](Rig& r) { r.socket.timerFails = true; },
         "\n\n" + M(IDS_LOGIN_FAILED, "Orvane III") + "\n" + M(IDS_DETAILS) + "\nSetTimer エラー; コード: 8\n説明: sys8\n"},
        {"connection refused", [](Rig& r) { r.socket.connectMode = FakeSocket::ConnectMode::Refused; },
         "\n\n" + M(IDS_LOGIN_FAILED, "Orvane III") + "\n" + M(IDS_DETAILS) +
             "\nCSocket.Connect エラー; コード: 10061\n説明: sys10061\n"},
        {"nothing answers", [](Rig& r) { r.socket.connectMode = FakeSocket::ConnectMode::Silent; },
         "\n\n" + M(IDS_LOGIN_FAILED, "Orvane III") + "\n" + M(IDS_DETAILS) +
             "\nCSocket.Connect エラー; コード: 10060\n説明: sys10060\n"},
        {"silent service", [](Rig& r) { r.appliance.greeting.clear(); },
         "\n\n" + M(IDS_LOGIN_TIMEOUT, "Orvane III") + "\n"},
        {"login refused", [](Rig& r) { r.appliance.password = "x"; },
         "\n\n" + M(IDS_LOGIN_COMM_ERROR, "Orvane III") + "\n"},
        {"shell hangs during tar",
         [](Rig& r) {
             auto a = r.socket.onSend;
             r.socket.onSend = [a](FakeSocket& s, const std::string& b) {
                 if (b.rfind("tar ", 0) != 0) a(s, b);
             };
         },
         "\r\n転送したデータを展開しています。\n\n\n" + M(IDS_UNPACK_TIMEOUT) + "\n"},
        {"connection lost during rm",
         [](Rig& r) {
             auto a = r.socket.onSend;
             r.socket.onSend = [a](FakeSocket& s, const std::string& b) {
                 if (b.rfind("rm ", 0) == 0) s.peerClosed = true;
                 else a(s, b);
             };
         },
         "\r\n転送したデータを展開しています。\n\n\n" + M(IDS_UNPACK_COMM_ERROR) + "\n"},
    };
    for (const Case& c : cases) {
        Rig r;
        c.setup(r);
        try {
            doTelnetUnTar(r.u, "../a.inc", "..");
            ADD_FAILURE() << c.name << ": no abort";
        } catch (const LocalReadFailure& e) {
            EXPECT_EQ(e.m_where, "doTelnetUnTar") << c.name;
            EXPECT_EQ(e.m_code, 0) << c.name;
        }
        EXPECT_EQ(r.console.out, c.out) << c.name;
        EXPECT_LE(r.socket.now, 90000u) << c.name;
        if (!r.socket.log.empty()) {
            EXPECT_EQ(r.socket.log.back(), "close") << c.name;  // the session is dropped
        }
    }
}

TEST(TelnetSession, ResetPerModelAndItsFailures) {
    struct Case {
        const char* arg;
        std::function<void(Rig&)> setup;
        std::string command;  // last bytes written
        std::string out;
    } cases[] = {
        {"-inc1", nullptr, "echo 0 > /proc/wdt/wdt\r\n", M(IDS_RESET_SENT) + "\n"},
        {"-inc2", nullptr, "reboot\r\n", M(IDS_RESET_SENT) + "\n"},
        {"-inc2",
         [](Rig& r) {
             auto a = r.socket.onSend;
             r.socket.onSend = [a](FakeSocket& s, const std::string& b) {
                 if (b == "reboot\r\n") s.peerClosed = true;
                 else a(s, b);
             };
         },
         "reboot\r\n", "\n\n" + M(IDS_RESET_COMM_ERROR) + "\n"},
        {"-inc1",
         [](Rig& r) {
             auto a = r.socket.onSend;
             r.socket.onSend = [a](FakeSocket& s, const std::string& b) {
                 if (b.rfind("echo", 0) != 0) a(s, b);
             };
         },
         "echo 0 > /proc/wdt/wdt\r\n", "\n\n" + M(IDS_RESET_TIMEOUT) + "\n"},
        {"-inc2", [](Rig& r) { r.appliance.greeting.clear(); }, kWontEcho.substr(0, 0),
         "\n\n" + M(IDS_LOGIN_TIMEOUT, "Orvane IV") + "\n"},
    };
    for (const Case& c : cases) {
        Rig r;
        r.u.model = &selectModel({"prog", c.arg});
        r.u.model->LoadModelName();
        if (c.setup) c.setup(r);
        doDeviceReset(r.u);  // returns normally, whatever happened
        EXPECT_EQ(r.console.out, c.out) << c.arg;
        EXPECT_EQ(r.socket.periods, std::vector<uint32_t>{kResetPeriodMs});
        if (!c.command.empty()) {
            EXPECT_EQ(r.socket.writes.back(), c.command) << c.arg;
        }
        EXPECT_LE(r.socket.now, 30000u);
        if (c.out == M(IDS_RESET_SENT) + "\n") {
            EXPECT_TRUE(r.socket.open);  // left open for the shell
        }
    }
}

}  // namespace
}  // namespace uplder
