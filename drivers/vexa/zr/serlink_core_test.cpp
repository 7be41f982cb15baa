// The command handlers against a scripted line: what goes on the line, what the
// answer and the scan cache hold afterwards, what is logged, and when no answer
// is sent.
#include "serlink_core.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "serlink_frame.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string frame_text(const std::string& body) {
    std::string f = "\x02" + body + "\x03";
    char chk[3];
    snprintf(chk, sizeof chk, "%02X", zr_bcc((const uint8_t*)f.data() + 1, f.size() - 1));
    return f + chk + "\r";
}

// A leaf-scan answer of 158 bytes with the given terminal types per channel
// ("00" where the list is short).
std::string scan_answer(char node, const std::vector<std::string>& types) {
    std::string body(1, node);
    body += "23HDRHDR00";  // 11 header characters: frame offsets 1-11
    for (int c = 0; c < 16; c++) {
        std::string t = c < (int)types.size() ? types[c] : "00";
        char field[16];
        snprintf(field, sizeof field, "%s%06d%s", t.c_str(), c, c < 15 ? "," : "");
        body += field;
    }
    return frame_text(body);
}

std::string value_answer(char node, const char* mark, const std::string& data80) {
    std::string body(1, node);
    body += std::string(26, 'h');  // offsets 2-27; 28 is the last header byte
    body += 'x';
    body += mark;                  // offset 29
    body += data80;                // offset 31
    return frame_text(body);
}

struct Exchange {
    int open_rc = 0;
    bool write_fails = false;
    std::vector<std::string> chunks;  // then silence (a time-out)
    bool read_error = false;          // after the chunks
};

struct FakeLine : SerialLine {
    std::map<char, Exchange> by_node;  // key: the node character of the frame
    Exchange fallback;                 // silence
    std::vector<std::string> written;
    int opens = 0, closes = 0;
    std::deque<std::string> pending;
    bool pending_error = false;
    struct tm clock = {};

    int open_rc = 0;  // the node is not known before the frame is written
    int open() override {
        opens++;
        return open_rc;
    }
    void close() override { closes++; }
    int write(const uint8_t* b, size_t n) override {
        std::string f((const char*)b, n);
        written.push_back(f);
        char node = f.size() > 1 ? f[1] : 0;
        auto it = by_node.find(node);
        Exchange& e = it != by_node.end() ? it->second : fallback;
        if (e.write_fails) {
            errno = EIO;
            return -1;
        }
        pending.assign(e.chunks.begin(), e.chunks.end());
        pending_error = e.read_error;
        return 0;
    }
    int read_chunk(uint8_t* buf, size_t cap) override {
        if (pending.empty()) {
            if (pending_error) {
                log_writer(LOG_ALERT, "read", EIO);
                return -1;
            }
            return 0;
        }
        std::string c = pending.front();
        pending.pop_front();
        size_t n = c.size() < cap ? c.size() : cap;
        memcpy(buf, c.data(), n);
        return (int)n;
    }
    struct tm now() override { return clock; }
};

std::vector<MsgAnswer> sent;
int send_result = 0;
int record_answer(const MsgAnswer& a) {
    if (send_result != 0) {
        errno = EAGAIN;
        return -1;
    }
    sent.push_back(a);
    return 0;
}

class Core : public ::testing::Test {
protected:
    drvtest::LogCapture log;
    const std::vector<drvtest::LogRecord>& logged = log.all();
    FakeLine line;
    void SetUp() override {
        core_reset();
        sent.clear();
        send_result = 0;
        serial_line = &line;
        answer_sender = record_answer;
        line.clock.tm_year = 2026 - 1900;
        line.clock.tm_mon = 11;
        line.clock.tm_mday = 8;
        line.clock.tm_hour = 2;
        line.clock.tm_min = 6;
        line.clock.tm_sec = 51;
    }

    ServeNext request(int cmd, char node = '0', char param = '0', int seq = 42) {
        zr_make_request(recvbuf, cmd, node, param, seq);
        return serve_request();
    }
    const MsgAnswer& last() { return sent.back(); }
    static std::string row(const MsgAnswer& a, int n) { return std::string(a.chtable[n], 16); }
};

bool all_zero(const void* p, size_t n) {
    const uint8_t* b = (const uint8_t*)p;
    for (size_t i = 0; i < n; i++)
        if (b[i]) return false;
    return true;
}

TEST_F(Core, GetLeavesScansEveryNodeAndLeavesTheCacheAlone) {
    line.by_node['2'].chunks = {scan_answer('2', {"10", "00", "20"})};
    line.by_node['B'].chunks = {scan_answer('B', {"20"})};
    line.by_node['5'].chunks = {"\x02" "5bad\x03" "00\r"};
    request(ZRCMD_GET_LEAVES);
    ASSERT_EQ(line.written.size(), 16u);
    for (int n = 0; n < 16; n++) {
        char c = "0123456789ABCDEF"[n];
        EXPECT_EQ(line.written[n], frame_text(std::string(1, c) + "23"));
    }
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(row(last(), 2), "1010000000000000");
    EXPECT_EQ(row(last(), 11), "1000000000000000");
    EXPECT_EQ(row(last(), 5), "0000000000000000");
    EXPECT_EQ(row(last(), 0), "0000000000000000");
    // Status of the last failed node: node 15 was silent.
    EXPECT_EQ(+last().status, ZRST_TIMEOUT);
    EXPECT_TRUE(all_zero(last().frames, sizeof last().frames));
    EXPECT_TRUE(all_zero(&cmd12cache, sizeof cmd12cache));
    EXPECT_EQ(line.opens, 16);
    EXPECT_EQ(line.closes, 16);
}

TEST_F(Core, GetValueCopiesFieldsDateAndTime) {
    std::string data = "00012345   1.234      99     230   1.500     231   1.600";
    data.resize(80, '.');
    ASSERT_EQ(data.size(), 80u);
    line.by_node['3'].chunks = {value_answer('3', "10", data).substr(0, 40),
                                value_answer('3', "10", data).substr(40)};
    request(ZRCMD_GET_VALUE, '3', '5', 9);
    ASSERT_EQ(line.written.size(), 1u);
    EXPECT_EQ(line.written[0], frame_text("300@@@A5"));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(+last().status, 0);
    EXPECT_EQ(std::string(last().date, 10), "2026-12-08");
    EXPECT_EQ(std::string(last().time, 8), "02:06:51");
    EXPECT_EQ(std::string(last().value, 80), data);
    EXPECT_EQ(std::string(last().valmark, 2), "10");
    EXPECT_EQ(+last().seq, 9);
    EXPECT_EQ(last().node, '3');
    EXPECT_EQ(last().param, '5');
}

TEST_F(Core, GetValueStatuses) {
    struct {
        const char* what;
        Exchange ex;
        bool answered;
        int status;
    } cases[] = {
        {"value mark 00", {0, false, {value_answer('7', "00", std::string(80, '0'))}, false}, true, ZRST_NOLEAF},
        {"silent", {0, false, {}, false}, true, ZRST_TIMEOUT},
        {"bad check", {0, false, {"\x02" "7xyz\x03" "41\r"}, false}, true, ZRST_BCC},
        {"read error", {0, false, {}, true}, true, ZRST_SELRECV},
        {"open fails", {-1, false, {}, false}, false, 0},
        {"set-up fails", {-2, false, {}, false}, false, 0},
        {"write fails", {0, true, {}, false}, false, 0},
    };
    for (auto& c : cases) {
        sent.clear();
        line.by_node['7'] = c.ex;
        line.open_rc = c.ex.open_rc;
        request(ZRCMD_GET_VALUE, '7', '1');
        line.open_rc = 0;
        ASSERT_EQ(sent.size(), c.answered ? 1u : 0u) << c.what;
        if (c.answered) {
            EXPECT_EQ(+last().status, c.status) << c.what;
            if (c.status != ZRST_NOLEAF) {
                EXPECT_TRUE(all_zero(last().date, 100)) << c.what;
            }
        }
    }
}

TEST_F(Core, FailedExchangesSetStatusBeforeReturning) {
    struct { int open_rc; bool write_fails; int status; int closes; } cases[] = {
        {-1, false, ZRST_SELOPEN, 0}, {-2, false, ZRST_ETC, 1}, {0, true, ZRST_SELSEND, 1}};
    for (auto& c : cases) {
        line.closes = 0;
        Exchange e;
        e.open_rc = c.open_rc;
        e.write_fails = c.write_fails;
        line.by_node['4'] = e;
        line.open_rc = c.open_rc;
        MsgAnswer a;
        memset(&a, 0, sizeof a);
        EXPECT_EQ(measurement(ZRCMD_CHKTYP20, '4', '0', a), -1);
        EXPECT_EQ(+a.status, c.status);
        EXPECT_EQ(zr_chk(a, 4), 0) << "no exchange, no check result";
        EXPECT_EQ(line.closes, c.closes);
    }
}

TEST_F(Core, GetValueErrorsAreLoggedOnceUntilOneSucceeds) {
    Exchange fails;
    fails.read_error = true;
    line.by_node['1'] = fails;
    for (int i = 0; i < 3; i++) request(ZRCMD_GET_VALUE, '1', '0');
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].text, "read (Input/output error)");
    EXPECT_EQ(logged[0].prio, LOG_ALERT);
    // Other commands always log.
    line.by_node['2'] = fails;
    request(ZRCMD_CHKTYP20, '2');
    request(ZRCMD_CHKTYP20, '2');
    EXPECT_EQ(logged.size(), 3u);
    // A success logs the recovery and re-arms.
    line.by_node['1'].read_error = false;
    line.by_node['1'].chunks = {value_answer('1', "20", std::string(80, '1'))};
    request(ZRCMD_GET_VALUE, '1', '0');
    ASSERT_EQ(logged.size(), 4u);
    EXPECT_EQ(logged[3].prio, LOG_INFO);
    EXPECT_EQ(logged[3].text, "measurement err->normal");
    request(ZRCMD_GET_VALUE, '1', '0');
    EXPECT_EQ(logged.size(), 4u);
    line.by_node['1'] = fails;
    request(ZRCMD_GET_VALUE, '1', '0');
    EXPECT_EQ(logged.size(), 5u);
}

TEST_F(Core, SetTime) {
    request(ZRCMD_SET_TIME);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(+last().status, 0) << "a silent broadcast is success";
    EXPECT_EQ(line.written[0], frame_text("*2020261208020651"));
    line.by_node['*'].chunks = {"\x02*\x03" "00\r"};
    request(ZRCMD_SET_TIME);
    EXPECT_EQ(+last().status, ZRST_BCC);
    line.by_node['*'].write_fails = true;
    request(ZRCMD_SET_TIME);
    EXPECT_EQ(sent.size(), 2u) << "no answer when the frame could not be written";
}

TEST_F(Core, ScanCacheAcrossScansAndChecks) {
    request(ZRCMD_SCANCH);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(all_zero(last().chtable, ZR_ANS_TEXT - 14)) << "cache starts empty";
    EXPECT_TRUE(line.written.empty());

    std::string s3 = scan_answer('3', {"20", "10", "00", "20"});
    line.by_node['3'].chunks = {s3};
    request(ZRCMD_SCANLEAVES, '3');
    EXPECT_EQ(+last().status, 0);
    EXPECT_EQ(row(last(), 3), "1101000000000000");
    EXPECT_EQ(std::string(last().frames[3], 158), s3.substr(0, 158));
    EXPECT_TRUE(all_zero(last().chktbl, 64)) << "scanleaves carries no check table";
    EXPECT_EQ(row(cmd12cache, 3), "1101000000000000");

    line.by_node['3'].chunks = {frame_text("3GP")};
    request(ZRCMD_CHKTYP20, '3');
    EXPECT_EQ(line.written.back(), frame_text("3GP"));
    EXPECT_EQ(zr_chk(last(), 3), ZRCHK_ANSWERED);
    EXPECT_TRUE(all_zero(last().chtable, 256 + 2528)) << "chkTyp20 carries only the check table";
    request(ZRCMD_CHKTYP20, '9');  // silent node
    EXPECT_EQ(+last().status, ZRST_TIMEOUT);
    EXPECT_EQ(zr_chk(last(), 9), ZRCHK_SILENT);
    EXPECT_EQ(zr_chk(last(), 3), ZRCHK_ANSWERED);
    line.by_node['A'].chunks = {"\x02" "AGP\x03" "00\r"};
    request(ZRCMD_CHKTYP20, 'A');
    EXPECT_EQ(zr_chk(cmd12cache, 10), ZRCHK_FAILED);

    request(ZRCMD_CHKTYP20CH);
    EXPECT_EQ(zr_chk(last(), 3), 1);
    EXPECT_EQ(zr_chk(last(), 9), 2);
    EXPECT_EQ(zr_chk(last(), 10), -1);
    EXPECT_TRUE(all_zero(last().chtable, 256 + 2528));

    size_t frames_before = line.written.size();
    request(ZRCMD_CLRCHKTYP20CH, '9');
    EXPECT_TRUE(all_zero(last().chtable, ZR_ANS_TEXT - 14 - 4)) << "header only";
    request(ZRCMD_CHKTYP20CH);
    EXPECT_EQ(zr_chk(last(), 9), 0);
    EXPECT_EQ(line.written.size(), frames_before);

    // The node goes silent: its row turns to '0' in the cache, its frame stays.
    line.by_node['3'].chunks.clear();
    request(ZRCMD_SCANLEAVES, '3');
    EXPECT_EQ(+last().status, ZRST_TIMEOUT);
    EXPECT_EQ(row(cmd12cache, 3), std::string(16, '0'));
    EXPECT_EQ(std::string(cmd12cache.frames[3], 158), s3.substr(0, 158));

    request(ZRCMD_SCANCH);
    EXPECT_EQ(std::string(last().frames[3], 158), s3.substr(0, 158));
    EXPECT_EQ(zr_chk(last(), 3), 1);
    EXPECT_EQ(row(last(), 3), std::string(16, '0'));
}

TEST_F(Core, ScanFramesAreCutToTheSlotAndShortOnesOverlay) {
    std::string s = scan_answer('6', {"10", "10"});
    std::string longer = frame_text(s.substr(1, s.size() - 5) + std::string(100, 'L'));
    line.by_node['6'].chunks = {longer};
    request(ZRCMD_SCANLEAVES, '6');
    EXPECT_EQ(std::string(cmd12cache.frames[6], 158), longer.substr(0, 158));
    // A shorter answer overlays the start of the slot; the rest keeps what it held.
    std::string shorter = frame_text("6GP");
    line.by_node['6'].chunks = {shorter};
    request(ZRCMD_SCANLEAVES, '6');
    std::string slot(cmd12cache.frames[6], 158);
    ASSERT_EQ(shorter.size(), 8u);
    EXPECT_EQ(slot.substr(0, 7), shorter.substr(0, 7));
    EXPECT_EQ(slot.substr(7), longer.substr(7, 151));
}

TEST_F(Core, NodesWithoutAPlaceAreRefusedWithoutLineTraffic) {
    for (char node : {'a', 'f', 'G', '*', '\0', '\xff', '/', ':'}) {
        for (int cmd : {ZRCMD_SCANLEAVES, ZRCMD_CHKTYP20, ZRCMD_CLRCHKTYP20CH}) {
            sent.clear();
            request(cmd, node, '0', 77);
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(+last().status, ZRST_CMDERR) << cmd << " " << (int)node;
            EXPECT_EQ(last().node, node);
            EXPECT_EQ(+last().seq, 77);
        }
    }
    EXPECT_TRUE(line.written.empty());
    EXPECT_TRUE(all_zero(&cmd12cache, sizeof cmd12cache));
}

TEST_F(Core, HeaderOnlyCommandsAndUnknownCodes) {
    struct { int cmd; ServeNext next; int status; const char* log; } cases[] = {
        {ZRCMD_HELLO, ServeNext::Loop, 0, nullptr},
        {ZRCMD_RESTART, ServeNext::Restart, 0, "resterted"},
        {ZRCMD_STOP, ServeNext::Stop, 0, "stoped"},
        {0, ServeNext::Loop, ZRST_CMDERR, "command error"},
        {4, ServeNext::Loop, ZRST_CMDERR, "command error"},
        {-1, ServeNext::Loop, ZRST_CMDERR, "command error"},
        {100, ServeNext::Loop, ZRST_CMDERR, "command error"},
    };
    for (auto& c : cases) {
        sent.clear();
        log.clear();
        EXPECT_EQ(request(c.cmd, 'x', 'y', 1234), c.next) << c.cmd;
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(+last().status, c.status);
        EXPECT_EQ(+last().command, c.cmd);
        EXPECT_EQ(last().node, 'x');
        EXPECT_EQ(last().param, 'y');
        EXPECT_EQ(+last().seq, 1234);
        EXPECT_EQ(last().type, 1);
        EXPECT_TRUE(all_zero(last().chtable, ZR_ANS_TEXT - 14));
        if (c.log) {
            ASSERT_EQ(logged.size(), 1u);
            EXPECT_EQ(logged[0].text, c.log);
            EXPECT_EQ(logged[0].prio, c.status ? LOG_WARNING : LOG_INFO);
        } else {
            EXPECT_TRUE(logged.empty());
        }
    }
    EXPECT_TRUE(line.written.empty());
}

TEST_F(Core, SendFailuresAreLoggedUnderTheCommandsWord) {
    send_result = -1;
    struct { int cmd; const char* word; } cases[] = {
        {ZRCMD_GET_LEAVES, "get_leaves msgsnd"}, {ZRCMD_SET_TIME, "set_time msgsnd"},
        {ZRCMD_SCANCH, "get_leaves_ch msgsnd"}, {ZRCMD_SCANLEAVES, "get_leaves2 msgsnd"},
        {ZRCMD_CHKTYP20CH, "chkTyp20ch msgsnd"}, {ZRCMD_CHKTYP20, "chkTyp20 msgsnd"},
        {ZRCMD_CLRCHKTYP20CH, "clrChkTyp20ch msgsnd"}, {ZRCMD_HELLO, "hello msgsnd"},
        {ZRCMD_RESTART, "restart msgsnd"}, {ZRCMD_STOP, "stop msgsnd"}, {50, "cmd error msgsnd"},
        {ZRCMD_GET_VALUE, "get_value msgsnd"},
    };
    for (auto& c : cases) {
        log.clear();
        request(c.cmd, '1');
        ASSERT_FALSE(logged.empty()) << c.cmd;
        EXPECT_EQ(logged.back().prio, LOG_ALERT);
        EXPECT_EQ(logged.back().text, std::string(c.word) + " (" + strerror(EAGAIN) + ")");
    }
}

}  // namespace
