// The commander's request side against the fake transceiver: every response
// line byte for byte, the exchanges each request makes, and the checks that
// decide between them.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <regex>
#include <string>

#include "zr1_fake.h"
#include "zr1comm.h"

namespace {

// Seven 8-character fields in value-data order: kWh, ip, pf, v/v1, c/c1, v3, c3.
const char kData[] = "00012345" "0001.500" "00000095" "00000230" "0012.345" "00000231" "0013.000";

class Zr1 : public ::testing::Test {
protected:
    void SetUp() override {
        fake.reset();
        zr1DefaultSettings();
        memcpy(macaddrlo24, "12ABCD", 7);
    }
    // One request through DoCommand; the line it wrote.
    std::string run(const std::string& req, int* rc = nullptr) {
        fake.written.clear();
        int r = DoCommand(req.c_str());
        if (rc) *rc = r;
        return fake.written;
    }
    // Answers get_value with the standard data and the given mark and status.
    void answerValue(const char* mark, int status = 0, const char* data = kData) {
        fake.script = [=](const FakeExchange& e, MsgAnswer& a) {
            if (e.command == ZRCMD_GET_VALUE) {
                a.status = status;
                fakeSetValue(a, data, mark);
            }
            return 0;
        };
    }
};

// ---- dispatch -----------------------------------------------------------------

TEST_F(Zr1, DispatchByPrefix) {
    struct Case {
        const char* req;
        const char* line;
        const char* trace;
        int rc;
    } cases[] = {
        {"?cmd=hello", "?cmd=hello&status=OK\r\n", "97:0", 0},
        {"?cmd=hello\r\n", "?cmd=hello&status=OK\r\n", "97:0", 0},
        {"?cmd=hello\n", "?cmd=hello&status=OK\r\n", "97:0", 0},
        {"?cmd=hello&node=3", "?cmd=hello&status=OK\r\n", "97:0", 0},
        {"?cmd=hellothere", "?cmd=hello&status=OK\r\n", "97:0", 0},
        {"cmd=hello", "\r\n", "", 0},
        {"?cmd=version", "\r\n", "", 0},
        {"?cmd=set_time&x=1", "?cmd=set_time&status=OK\r\n", "3:0", 0},
        {"?cmd=hup", "?cmd=hup&status=OK\r\n", "98:0", 1},
        {"?cmd=kill", "?cmd=kill&status=OK\r\n", "99:0", 2},
        // Two requests in one read: only the first is seen.
        {"?cmd=hello\r\n?cmd=kill\r\n", "?cmd=hello&status=OK\r\n", "97:0", 0},
    };
    for (const Case& c : cases) {
        fake.exchanges.clear();
        int rc = 99;
        EXPECT_EQ(run(c.req, &rc), c.line) << c.req;
        EXPECT_EQ(fake.trace(), c.trace) << c.req;
        EXPECT_EQ(rc, c.rc) << c.req;
    }
}

TEST_F(Zr1, EmptyRequestWritesNothing) {
    int rc = 0;
    EXPECT_EQ(run("", &rc), "");
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(fake.exchanges.empty());
}

TEST_F(Zr1, NoAnswerGivesEmsgtimeoutAndNoRestart) {
    fake.script = [](const FakeExchange&, MsgAnswer&) { return -1; };
    struct Case {
        const char* req;
        const char* line;
    } cases[] = {
        {"?cmd=get_leaves", "?cmd=get_leaves&status=EMSGTIMEOUT\r\n"},
        {"?cmd=get_value&protocol=C0&node=11000003&leaf=2&toq=C0_2", "?cmd=get_value&status=EMSGTIMEOUT\r\n"},
        {"?cmd=set_time", "?cmd=set_time&status=EMSGTIMEOUT\r\n"},
        {"?cmd=rescan&node=5", "?cmd=rescan&status=EMSGTIMEOUT\r\n"},
        {"?cmd=hello", "?cmd=hello&status=EMSGTIMEOUT\r\n"},
        {"?cmd=hup", "?cmd=hup&status=EMSGTIMEOUT\r\n"},
        {"?cmd=kill", "?cmd=kill&status=EMSGTIMEOUT\r\n"},
    };
    for (const Case& c : cases) {
        int rc = 99;
        EXPECT_EQ(run(c.req, &rc), c.line) << c.req;
        EXPECT_EQ(rc, 0) << c.req;
    }
}

TEST_F(Zr1, SetTimeIgnoresAnswerStatus) {
    fake.script = [](const FakeExchange&, MsgAnswer& a) {
        a.status = ZRST_SELOPEN;
        return 0;
    };
    EXPECT_EQ(run("?cmd=set_time"), "?cmd=set_time&status=OK\r\n");
    EXPECT_EQ(run("?cmd=hup"), "?cmd=hup&status=OK\r\n");
}

// ---- tokenising and checks ----------------------------------------------------

TEST_F(Zr1, Tokenising) {
    struct Case {
        const char* req;
        int ntokens;
        int status;
        const char* last;  // the last stored token
    } cases[] = {
        {"?cmd=rescan&node=5\r\n", 2, 0, "node=5"},
        {"?cmd=rescan&node=5\n", 2, 0, "node=5"},
        {"?cmd=rescan&node=5\r", 2, 0, "node=5\r"},  // a lone CR stays
        {"?cmd=rescan&&&node=5", 2, 0, "node=5"},    // empty tokens skipped
        {"?cmd=x&a=1&b=2&c=3&d=4", 5, 0, "d=4"},
        {"?cmd=x&a=1&b=2&c=3&d=4&e=5", 5, ST_EINVALIDKEY, "d=4"},
        {"?cmd=x&a=12345678901234567", 2, 0, "a=12345678901234567"},  // 19 characters
        {"?cmd=x&a=123456789012345678", 1, ST_EINVALIDKEY, "?cmd=x"},  // 20 characters
        {"\n", 0, 0, nullptr},
        {"", 0, 0, nullptr},
    };
    for (const Case& c : cases) {
        dtCmdParm p;
        p.request = c.req;
        prsCmd_data(p);
        EXPECT_EQ(p.ntokens, c.ntokens) << c.req;
        EXPECT_EQ(p.status, c.status) << c.req;
        if (c.last) {
            EXPECT_STREQ(p.tokens[p.ntokens - 1], c.last) << c.req;
        }
    }
}

TEST_F(Zr1, NumberCheck) {
    struct Case {
        const char* value;
        int base, min, max;
        bool trailingOk;
        bool valid;
        int number;
    } cases[] = {
        {"000003", 16, 0, 15, false, true, 3},
        {"00000F", 16, 0, 15, false, true, 15},
        {"00000f", 16, 0, 15, false, true, 15},
        {"000010", 16, 0, 15, false, false, 16},
        {"00000G", 16, 0, 15, false, false, 0},
        {"  +003", 16, 0, 15, false, true, 3},
        {"-00001", 16, 0, 15, false, false, -1},
        {"a", 36, 0, 15, false, true, 10},
        {"F", 36, 0, 15, false, true, 15},
        {"G", 36, 0, 15, false, false, 16},
        {"3x", 10, 0, 15, false, false, 3},
        {"3x", 10, 0, 15, true, true, 3},
        {"+", 10, 0, 15, false, false, 0},
        // 36^11 * 1 + 5: larger than any int; it must not pass as a small number
        // once cut to 32 bits.
        {"100000000005", 36, 0, 15, false, false, INT_MAX},
        {"zzzzzzzzzzzzzz", 36, 0, 15, false, false, INT_MAX},
    };
    for (const Case& c : cases) {
        dtChkVal v;
        v.value = c.value;
        v.base = c.base;
        v.min = c.min;
        v.max = c.max;
        v.trailingOk = c.trailingOk;
        v.rangeChk = true;
        EXPECT_EQ(bool(chkValInt(v)), c.valid) << c.value;
        EXPECT_EQ(v.number, c.number) << c.value;
    }
    dtChkVal absent;
    EXPECT_FALSE(chkValInt(absent));
    EXPECT_TRUE(absent.missing);
}

TEST_F(Zr1, KeyLookupAndTextCheck) {
    dtCmdParm p;
    p.request = "?cmd=rescan&node==5&other=1";
    prsCmd_data(p);
    dtChkVal v;
    v.key = "node=";
    v.minlen = v.maxlen = 1;
    EXPECT_EQ(setCmdParmStr(v, p), 0);  // "=5" is two characters
    EXPECT_EQ(v.tokidx, 1);
    EXPECT_STREQ(v.value, "=5");
    dtChkVal w;
    w.key = "absent=";
    w.deflt = "dflt";
    w.mayAbsent = true;
    EXPECT_EQ(setCmdParmCmn1(w, p), -1);
    EXPECT_STREQ(w.value, "dflt");
}

// ---- error mapping ------------------------------------------------------------

TEST_F(Zr1, ErrorMapping) {
    struct Case {
        int status;
        const char* cmd;
        const char* resp;
    } cases[] = {
        {0, "rescan", "kept"},
        {-1, "get_value", "?cmd=get_value&status=ESELRECV"},
        {-2, "rescan", "?cmd=rescan&status=EBCC"},
        {-3, "rescan", "?cmd=rescan&status=ETIMEOUT"},
        {-4, "get_value", "?cmd=get_value&status=EETC"},
        {-5, "rescan", "?cmd=rescan&status=ENOLEAF"},
        {-6, "get_value", "?cmd=get_value&status=ESELOPEN"},
        {-7, "get_value", "?cmd=get_value&status=ESELSEND"},
        {-8, "get_value", "kept"},
        {-9, "rescan", "?cmd=rescan&status=EINVALIDKEY"},
        {-10, "get_value", "?cmd=get_value&status=EINVALIDTOQ"},
        {-11, "get_value", "kept"},
        {-12, "rescan", "?cmd=get_value&status=ENODEERR&val=E123"},
        {3, "get_value", "kept"},
    };
    static char resp[ZR1_RESP_SIZE];
    for (const Case& c : cases) {
        strcpy(resp, "kept");
        dtCmdParm p;
        p.status = c.status;
        p.cmdname = c.cmd;
        p.resp = resp;
        strcpy(p.errval, "E123");
        hndlErrResp(p);
        EXPECT_STREQ(resp, c.resp) << c.status;
    }
}

// ---- get_value ----------------------------------------------------------------

TEST_F(Zr1, GetValueReadings) {
    const std::string t = "&time=2026-12-08_02:06:51\r\n";
    struct Case {
        const char* params;  // after ?cmd=get_value&protocol=C0&
        const char* mark;
        const char* line;    // nullptr: "?cmd=get_value&status=OK&val=" + val + time
        const char* val;
        const char* trace;
    } cases[] = {
        {"node=11000003&leaf=2&toq=C0_2", "10", nullptr, "00012345", "2:32"},
        {"node=11000003&leaf=2&toq=C1_2", "20", nullptr, "0001.500", "2:32"},
        {"node=11000003&leaf=2&toq=C2_2", "10", nullptr, "00000095", "2:32"},
        {"node=11000003&leaf=F&toq=C3_F", "10", nullptr, "00000230", "2:3F"},
        {"node=20000003&leaf=1&toq=C4_1", "20", nullptr, "00000230", "2:30"},
        {"node=20000003&leaf=7&toq=C5_7", "20", nullptr, "00000231", "2:36"},
        {"node=11000003&leaf=F&toq=C6_F", "10", nullptr, "0012.345", "2:3F"},
        {"node=00000003&leaf=a&toq=C7_A", "20", nullptr, "0012.345", "2:3A"},
        {"node=0000000F&leaf=0&toq=C8_0", "20", nullptr, "0013.000", "2:F0"},
        {"node=11000003&leaf=2&toq=C0_anything", "10", nullptr, "00012345", "2:32"},
        // Value-mark misfits: after the exchange.
        {"node=11000003&leaf=F&toq=C7_F", "10", "?cmd=get_value&status=EINVALIDTOQ\r\n", nullptr, "2:3F"},
        {"node=11000003&leaf=F&toq=C3_F", "20", "?cmd=get_value&status=EINVALIDTOQ\r\n", nullptr, "2:3F"},
        {"node=11000003&leaf=F&toq=C0_F", "00", "?cmd=get_value&status=EINVALIDTOQ\r\n", nullptr, "2:3F"},
        // Refused before any exchange.
        {"node=11000003&leaf=2&toq=X0_", "10", "?cmd=get_value&status=EINVALIDTOQ\r\n", nullptr, ""},
        {"node=11000003&leaf=2&toq=", "10", "?cmd=get_value&status=EINVALIDKEY\r\n", nullptr, ""},
        {"node=20000003&leaf=8&toq=C0_", "20", "?cmd=get_value&status=EINVALIDKEY\r\n", nullptr, ""},
        {"node=20000003&leaf=0&toq=C0_", "20", "?cmd=get_value&status=EINVALIDKEY\r\n", nullptr, ""},
        {"node=11000003&leaf=G&toq=C0_", "10", "?cmd=get_value&status=EINVALIDKEY\r\n", nullptr, ""},
        {"node=11000003&leaf=&toq=C0_", "10", "?cmd=get_value&status=EINVALIDKEY\r\n", nullptr, ""},
        {"node=1100000G&leaf=1&toq=C0_", "10", "?cmd=get_value&status=EINVALIDKEY\r\n", nullptr, ""},
        {"node=11000010&leaf=1&toq=C0_", "10", "?cmd=get_value&status=EINVALIDKEY\r\n", nullptr, ""},
        {"node=1100003&leaf=1&toq=C0_", "10", "?cmd=get_value&status=EINVALIDKEY\r\n", nullptr, ""},
        {"node=110000003&leaf=1&toq=C0_", "10", "?cmd=get_value&status=EINVALIDKEY\r\n", nullptr, ""},
        {"node=12000003&leaf=1&toq=C0_", "10", "?cmd=get_value&status=EINVALIDKEY\r\n", nullptr, ""},
        {"node=&leaf=1&toq=C0_", "10", "?cmd=get_value&status=EINVALIDKEY\r\n", nullptr, ""},
        {"leaf=1&node=11000003&toq=C0_", "10", "?cmd=get_value&status=EINVALIDKEY\r\n", nullptr, ""},
        {"node=11000003&toq=C0_&leaf=1", "10", "?cmd=get_value&status=EINVALIDKEY\r\n", nullptr, ""},
    };
    for (const Case& c : cases) {
        answerValue(c.mark);
        fake.exchanges.clear();
        std::string line = run(std::string("?cmd=get_value&protocol=C0&") + c.params);
        std::string want = c.line ? c.line : std::string("?cmd=get_value&status=OK&val=") + c.val + t;
        EXPECT_EQ(line, want) << c.params;
        EXPECT_EQ(fake.trace(), c.trace) << c.params;
    }
}

TEST_F(Zr1, GetValueProtocolAndTokenCount) {
    answerValue("10");
    EXPECT_EQ(run("?cmd=get_value&protocol=C0X&node=11000003&leaf=2&toq=C0_2"),
              "?cmd=get_value&status=OK&val=00012345&time=2026-12-08_02:06:51\r\n");
    EXPECT_EQ(run("?cmd=get_value&protocol=C1&node=11000003&leaf=2&toq=C0_2"), "?cmd=get_value&status=EINVALIDKEY\r\n");
    EXPECT_EQ(run("?cmd=get_value&protocol=C0&node=11000003&leaf=2"), "?cmd=get_value&status=EINVALIDKEY\r\n");
    EXPECT_EQ(run("?cmd=get_value&protocol=C0&node=11000003&leaf=2&toq=C0_2&x=1"),
              "?cmd=get_value&status=EINVALIDKEY\r\n");
    EXPECT_EQ(run("?cmd=get_value&protocol=C0&node=11000003&leaf=2&toq=C0_2\r\n"),
              "?cmd=get_value&status=OK&val=00012345&time=2026-12-08_02:06:51\r\n");
}

TEST_F(Zr1, GetValueTransceiverStatusAndNodeError) {
    struct Case {
        int status;
        const char* data;
        const char* line;
    } cases[] = {
        {-1, kData, "?cmd=get_value&status=ESELRECV\r\n"},
        {-2, kData, "?cmd=get_value&status=EBCC\r\n"},
        {-3, kData, "?cmd=get_value&status=ETIMEOUT\r\n"},
        {-5, kData, "?cmd=get_value&status=ENOLEAF\r\n"},
        {-7, kData, "?cmd=get_value&status=ESELSEND\r\n"},
        {-8, kData, "?cmd=get_value&status=OK&val=\r\n"},
        {0, "E1234567", "?cmd=get_value&status=ENODEERR&val=E123\r\n"},
        {0, "E1", "?cmd=get_value&status=ENODEERR&val=E1\r\n"},
        // A short field (NUL inside) is cut there.
        {0, "123", "?cmd=get_value&status=OK&val=123&time=2026-12-08_02:06:51\r\n"},
    };
    for (const Case& c : cases) {
        answerValue("10", c.status, c.data);
        EXPECT_EQ(run("?cmd=get_value&protocol=C0&node=11000003&leaf=2&toq=C0_2"), c.line) << c.data;
    }
}

TEST_F(Zr1, GetValueTestNode) {
    struct Case {
        const char* toq;
        const char* valre;
    } cases[] = {
        {"C0_", "0[0-2][0-9][0-5][0-9]\\.[0-6][0-9]"},
        {"C1_", " *[0-9]{1,2}\\.[0-9]{3}"},
        {"C2_", " {6,7}[0-9]{1,2}"},
        {"C3_", " {4,7}[0-9]{1,4}"},
        {"C8_", " *[0-9]{1,2}\\.[0-9]{3}"},
    };
    for (const Case& c : cases) {
        fake.exchanges.clear();
        std::string line = run(std::string("?cmd=get_value&protocol=C0&node=R0000000&leaf=x&toq=") + c.toq);
        std::regex re(std::string("\\?cmd=get_value&status=OK&val=(") + c.valre +
                      ")&time=[0-9]{4}-[0-9]{2}-[0-9]{2}_[0-9]{2}:[0-9]{2}:[0-9]{2}\r\n");
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, re)) << line;
        if (m.size() > 1) {
            EXPECT_EQ(m[1].length(), 8) << line;
        }
        EXPECT_TRUE(fake.exchanges.empty()) << c.toq;
    }
    EXPECT_EQ(run("?cmd=get_value&protocol=C0&node=R0000000&leaf=x&toq=C9_"), "?cmd=get_value&status=EINVALIDTOQ\r\n");
}

// ---- get_leaves ---------------------------------------------------------------

TEST_F(Zr1, LeavesNoneListed) {
    EXPECT_EQ(run("?cmd=get_leaves"), "?cmd=get_leaves&status=OK&val=\r\n");
    EXPECT_EQ(fake.trace(), "11:0");
    // Present channels of terminal type "00" or unknown give nothing either.
    fake.script = [](const FakeExchange&, MsgAnswer& a) {
        fakeSetChannels(a, 4, "0110000000000000");
        fakeSetTermtype(a, 4, 1, "00");
        fakeSetTermtype(a, 4, 2, "30");
        zr_set_chk(a, 4, 2);
        a.status = ZRST_TIMEOUT;  // not looked at
        return 0;
    };
    EXPECT_EQ(run("?cmd=get_leaves"), "?cmd=get_leaves&status=OK&val=\r\n");
}

std::string entries(const std::string& head, const char* typnos, char ch) {
    std::string s;
    for (const char* t = typnos; *t; t++) s += head + "C" + *t + "_" + ch + ",";
    return s;
}

TEST_F(Zr1, LeafNamesByCheckAndTerminalType) {
    fake.script = [](const FakeExchange&, MsgAnswer& a) {
        // node 3, chk 2: channels 0, 1, 2 of type "10" (0 not listed).
        fakeSetChannels(a, 3, "1110000000000000");
        for (int k = 0; k < 3; k++) fakeSetTermtype(a, 3, k, "10");
        zr_set_chk(a, 3, 2);
        // node 5, chk 1: channel 0 "20", channel 1 "20" (dropped), channel 2 "10",
        // channel 15 "20".
        fakeSetChannels(a, 5, "1110000000000001");
        fakeSetTermtype(a, 5, 0, "20");
        fakeSetTermtype(a, 5, 1, "20");
        fakeSetTermtype(a, 5, 2, "10");
        fakeSetTermtype(a, 5, 15, "20");
        zr_set_chk(a, 5, 1);
        // node 10, chk 0: channel 11 "20", channel 1 "20" (listed: not chk 1).
        fakeSetChannels(a, 10, "0100000000010000");
        fakeSetTermtype(a, 10, 1, "20");
        fakeSetTermtype(a, 10, 11, "20");
        // node 12, chk -1; node 13, chk 7: code "00".
        fakeSetChannels(a, 12, "0000000000000001");
        fakeSetTermtype(a, 12, 15, "10");
        zr_set_chk(a, 12, -1);
        fakeSetChannels(a, 13, "0010000000000000");
        fakeSetTermtype(a, 13, 2, "10");
        zr_set_chk(a, 13, 7);
        return 0;
    };
    std::string want = "?cmd=get_leaves&status=OK&val=";
    want += entries("12ABCD11000003", "01236", '1') + entries("12ABCD11000003", "01236", '2');
    want += entries("12ABCD20000005", "0124578", '1');  // channel 0 as '1'
    want += entries("12ABCD20000005", "01236", '3');    // channel 2 as '3'
    want += entries("12ABCD20000005", "0124578", 'G');  // channel 15 as 'G'
    want += entries("12ABCD0000000A", "0124578", '1') + entries("12ABCD0000000A", "0124578", 'B');
    want += entries("12ABCD0000000C", "01236", 'F');
    want += entries("12ABCD0000000D", "01236", '2');
    want.pop_back();
    EXPECT_EQ(run("?cmd=get_leaves"), want + "\r\n");
}

TEST_F(Zr1, LeavesFullListFits) {
    fake.script = [](const FakeExchange&, MsgAnswer& a) {
        for (int n = 0; n < 16; n++) {
            fakeSetChannels(a, n, "1111111111111111");
            for (int k = 0; k < 16; k++) fakeSetTermtype(a, n, k, "20");
            zr_set_chk(a, n, 2);
        }
        return 0;
    };
    std::string line = run("?cmd=get_leaves");
    // 16 nodes x 15 channels (no channel 0 for chk 2) x 7 entries of 19 characters.
    EXPECT_EQ(line.size(), strlen("?cmd=get_leaves&status=OK&val=") + 16 * 15 * 7 * 19 - 1 + 2);
    EXPECT_EQ(line.substr(line.size() - 20), "12ABCD1100000FC8_F\r\n");
}

// ---- rescan -------------------------------------------------------------------

TEST_F(Zr1, RescanSequences) {
    struct Case {
        const char* req;
        int scanStatus;
        int maxnodes;
        const char* line;
        const char* trace;
        const char* pauses;
    } cases[] = {
        {"?cmd=rescan&node=5", 0, 15, "?cmd=rescan&status=OK\r\n", "17:5 12:5 16:5", "10 20"},
        {"?cmd=rescan&node=5", -3, 15, "?cmd=rescan&status=ETIMEOUT\r\n", "17:5 12:5", "20"},
        {"?cmd=rescan&node=5", -5, 15, "?cmd=rescan&status=ENOLEAF\r\n", "17:5 12:5", "20"},
        {"?cmd=rescan&node=C", 0, 15, "?cmd=rescan&status=OK\r\n", "17:C 12:C 16:C", "10 20"},
        {"?cmd=rescan&node=x\r\n", 0, 15, "?cmd=rescan&status=OK\r\n", "17:x 12:x 16:x", "10 20"},  // unchecked
        {"?cmd=rescan&node=12", 0, 15, "?cmd=rescan&status=EINVALIDKEY\r\n", "", ""},
        {"?cmd=rescan&node=", 0, 15, "?cmd=rescan&status=EINVALIDKEY\r\n", "", ""},
        {"?cmd=rescan&a=1&b=2&c=3&d=4&node=1", 0, 15, "?cmd=rescan&status=EINVALIDKEY\r\n", "", ""},
        {"?cmd=rescan", 0, 3, "?cmd=rescan&status=OK\r\n",
         "17:0 12:0 16:0 17:1 12:1 16:1 17:2 12:2 16:2 17:3 12:3 16:3", "10 20 10 20 10 20 10 20"},
        {"?cmd=rescan&nodes=3", -3, 1, "?cmd=rescan&status=OK\r\n", "17:0 12:0 17:1 12:1", "20 20"},
    };
    for (const Case& c : cases) {
        fake.reset();
        MAXNODES = c.maxnodes;
        int st = c.scanStatus;
        fake.script = [st](const FakeExchange& e, MsgAnswer& a) {
            if (e.command == ZRCMD_SCANLEAVES) a.status = st;
            return 0;
        };
        EXPECT_EQ(run(c.req), c.line) << c.req;
        EXPECT_EQ(fake.trace(), c.trace) << c.req;
        std::string p;
        for (int ms : fake.pauses) p += (p.empty() ? "" : " ") + std::to_string(ms);
        EXPECT_EQ(p, c.pauses) << c.req;
    }
}

TEST_F(Zr1, FullScanCarriesOnOverSilentNodes) {
    MAXNODES = 15;
    fake.script = [](const FakeExchange& e, MsgAnswer&) {
        return (e.command == ZRCMD_SCANLEAVES && e.node >= 'A') ? -1 : 0;
    };
    fullscan();
    ASSERT_EQ(fake.exchanges.size(), 10u * 3 + 6u * 2);
    EXPECT_EQ(fake.exchanges.back().command, ZRCMD_SCANLEAVES);
    EXPECT_EQ(fake.exchanges.back().node, 'F');
    // A failed step 2 in a node rescan reports the missing answer.
    fake.reset();
    fake.script = [](const FakeExchange& e, MsgAnswer&) { return e.command == ZRCMD_SCANLEAVES ? -1 : 0; };
    EXPECT_EQ(run("?cmd=rescan&node=A"), "?cmd=rescan&status=EMSGTIMEOUT\r\n");
    EXPECT_TRUE(fake.pauses.empty());
}

TEST_F(Zr1, AnswerWaitPerCommand) {
    MSG_TIMEOUT = 700000;
    EXPECT_EQ(getMsgTmo(1), 10000000);
    EXPECT_EQ(getMsgTmo(12), 700000);
    for (int c : {2, 3, 11, 16, 17, 97, 98, 99}) EXPECT_EQ(getMsgTmo(c), 700000) << c;
}

TEST_F(Zr1, LeafCharacters) {
    EXPECT_EQ(convIntToStr0Z(0), '0');
    EXPECT_EQ(convIntToStr0Z(9), '9');
    EXPECT_EQ(convIntToStr0Z(10), 'A');
    EXPECT_EQ(convIntToStr0Z(16), 'G');
    EXPECT_EQ(toInt16("10"), 12592);
    EXPECT_EQ(toInt16("20"), 12848);
    EXPECT_EQ(toInt16("00"), 12336);
}

}  // namespace
