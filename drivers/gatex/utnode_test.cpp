// The node table, rescan, get_leaves, get_value and the raw pass-through of gatex2d
// over a scripted gateway link: exact answers, traces, requests and lock use.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ov3.h"
#include "test_support.h"
#include "utnode.h"

namespace {

using Bytes = std::string;

Bytes normal(const Bytes& data) {
    Bytes a("\0\0\0\0\0\0\0\x03", 8);
    a[5] = (char)(data.size() + 3);
    a.push_back((char)data.size());
    return a + data;
}
Bytes exception(int fc, int code) { return Bytes("\0\0\0\0\0\x03\0", 7) + (char)fc + (char)code; }
Bytes f32(float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    return Bytes{(char)(u >> 24), (char)(u >> 16), (char)(u >> 8), (char)u};
}
Bytes i16(int v) { return Bytes{(char)(v >> 8), (char)v}; }

const Bytes kSilent = "<silent>";  // the read times out

// A gateway as the scripted link plays it: an answer for each (first, count).
struct Gateway {
    bool reachable = true;
    std::function<Bytes(int first, int count)> answer;
};

class ScriptLink : public UtLink {
public:
    std::map<std::string, Gateway> gateways;  // "host:port"
    std::vector<Bytes> sent;
    std::vector<std::string> opened;
    int lockDepth = 0, maxDepth = 0, takes = 0;
    bool lockedAtOpen = false;

    int open(const char* host, int port, int, bool takeLock) override {
        if (takeLock) take();
        lockedAtOpen = lockDepth > 0;
        std::string key = std::string(host) + ":" + std::to_string(port);
        opened.push_back(key);
        auto it = gateways.find(key);
        if (it == gateways.end() || !it->second.reachable) {
            if (takeLock) unlock();
            return -1;
        }
        current_ = &it->second;
        return 7;
    }
    void close(int fd, bool releaseLock) override {
        EXPECT_EQ(fd, 7);
        current_ = nullptr;
        if (releaseLock) unlock();
    }
    bool send(int, const void* data, size_t len) override {
        Bytes req((const char*)data, len);
        sent.push_back(req);
        pending_ = kSilent;
        if (len == 12 && current_ && current_->answer) {
            auto b = [&](int i) { return (unsigned char)req[i]; };
            pending_ = current_->answer(b(8) << 8 | b(9), b(10) << 8 | b(11));
        } else if (current_ && current_->answer) {
            pending_ = current_->answer(-1, (int)len);
        }
        return true;
    }
    int read(int, void* buf, int size, int) override {
        if (pending_ == kSilent) return -1;
        int n = (int)std::min(pending_.size(), (size_t)size);
        memcpy(buf, pending_.data(), (size_t)n);
        return n;
    }
    void lock() override { take(); }
    void unlock() override {
        EXPECT_GT(lockDepth, 0) << "released a lock not held";
        lockDepth--;
    }

private:
    void take() {
        takes++;
        lockDepth++;
        maxDepth = std::max(maxDepth, lockDepth);
    }
    Gateway* current_ = nullptr;
    Bytes pending_;
};

// A well-behaved gateway: identity, channel types, and one value block per channel.
struct Model {
    Bytes identity = Bytes("\x01\x02\x03\x0A\x0B\x0C", 6);
    int types[kUtChannels];
    int exceptionChannelsFrom = kUtChannels;  // channels from here answer 83 02
    float value(int block, int reg) const { return (float)(block * 100 + reg) + 0.5f; }
    int age = 60;
    Model() {
        for (int& t : types) t = 255;
    }
    Bytes operator()(int first, int count) const {
        if (first == kUtIdentityFirst && count == 3) return normal(identity);
        if (first >= kUtChannelFirst && first < kUtChannelFirst + 640 && count == 5) {
            int j = (first - kUtChannelFirst) / 10;
            if (j >= exceptionChannelsFrom) return exception(0x83, 2);
            Bytes info(10, '\0');
            info[1] = (char)types[j];
            return normal(info);
        }
        if (first % 20 == 0 && count == 18) {
            int block = first / 20 + 1;
            Bytes data = i16(block) + i16(age);
            for (int r = 2; r < 18; r += 2) data += f32(value(block, r));
            return normal(data);
        }
        return exception(0x83, 2);
    }
};

void noop() {}
const drv::Dialect kDialect = {"gatex2d", "2.5 (Jan 18 2012 10:46:12)", ut_commands, ut_ncommands, ut_raw, noop, noop};

time_t fixedClock() { return 1700000000; }  // 2023-11-14 22:13:20 UTC

class UtNodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        attach(8);
        ut_link = &link;
        ut_clock = fixedClock;
    }
    void TearDown() override { ut_link = nullptr; }
    void attach(int maxnodes) {
        segment.assign(ut_segment_size(maxnodes), '\x5A');  // not zero: attach must clear it
        ut_table_attach(segment.data(), maxnodes, true);
    }
    void add(const std::string& hostport, const Model& m) { link.gateways[hostport].answer = m; }
    // Serves the lines on one connection and gives back what was written.
    std::string run(const std::string& lines) {
        drvtest::StringConn c(lines);
        drv::serve(c, kDialect);
        EXPECT_FALSE(c.answeredUnflushed);
        return c.out;
    }
    std::string leaves() { return run("?cmd=get_leaves\n"); }

    std::vector<char> segment;
    ScriptLink link;
};

TEST_F(UtNodeTest, FreshSegmentIsEmpty) {
    EXPECT_EQ(ut_table.head->count, 0);
    EXPECT_EQ(leaves(), "?cmd=get_leaves&status=OK&val=\n");
    EXPECT_EQ(segment.size(), sizeof(UtHead) + 8 * (756 + 65536));
}

TEST_F(UtNodeTest, RescanListsLeavesOfTypeFiveChannel) {
    Model m;
    m.types[0] = 5;
    m.exceptionChannelsFrom = 1;
    add("gw1:502", m);
    EXPECT_EQ(run("?cmd=rescan&node=gw1:502\n"), "?cmd=rescan&status=OK\n");
    EXPECT_EQ(leaves(),
              "?cmd=get_leaves&status=OK&val="
              "0A0B0C00000001D0_1:gw1:502,0A0B0C00000001D1_1:gw1:502,0A0B0C00000001D2_1:gw1:502,"
              "0A0B0C00000001D3_1:gw1:502,0A0B0C00000001D4_1:gw1:502,0A0B0C00000001D5_1:gw1:502,"
              "0A0B0C00000001D4_2:gw1:502,0A0B0C00000001D5_2:gw1:502\n");
    // 65 requests over one connection, identity first, then channels 0..63 in order,
    // all under one hold of the lock.
    ASSERT_EQ(link.sent.size(), 65u);
    EXPECT_EQ(link.sent[0], Bytes("\0\0\0\0\0\x06\0\x03\x0B\xC5\0\x03", 12));
    EXPECT_EQ(link.sent[4], Bytes("\0\0\0\0\0\x06\0\x03\x07\xEE\0\x05", 12));
    EXPECT_EQ(link.sent[64], Bytes("\0\0\0\0\0\x06\0\x03\x0A\x46\0\x05", 12));
    EXPECT_EQ(link.opened.size(), 1u);
    EXPECT_TRUE(link.lockedAtOpen);
    EXPECT_EQ(link.maxDepth, 1);
    EXPECT_EQ(link.lockDepth, 0);
}

TEST_F(UtNodeTest, RescanKeepsOneRecordPerGatewayAndFillsUp) {
    Model m;
    m.types[2] = 0;
    for (int i = 1; i <= 9; i++) add("gw" + std::to_string(i) + ":502", m);
    add("gw1:503", m);
    EXPECT_EQ(run("?cmd=rescan&node=gw1:502\n?cmd=rescan&node=gw1:502\n"),
              "?cmd=rescan&status=OK\n?cmd=rescan&status=OK\n");
    EXPECT_EQ(ut_table.head->count, 1);
    EXPECT_EQ(leaves(), "?cmd=get_leaves&status=OK&val=0A0B0C00000041D4_1:gw1:502\n");
    // Same host, other port: another gateway.
    EXPECT_EQ(run("?cmd=rescan&node=gw1:503\n"), "?cmd=rescan&status=OK\n");
    for (int i = 2; i <= 7; i++) run("?cmd=rescan&node=gw" + std::to_string(i) + ":502\n");
    EXPECT_EQ(ut_table.head->count, 8);
    size_t before = link.sent.size();
    EXPECT_EQ(run("?cmd=rescan&node=gw9:502\n"), "?cmd=rescan&status=EMAXNODES\n");
    EXPECT_EQ(link.sent.size(), before);  // nothing sent for a gateway that has no room
    EXPECT_EQ(link.lockDepth, 0);
    // A known gateway is still rescanned when the table is full.
    EXPECT_EQ(run("?cmd=rescan&node=gw3:502\n"), "?cmd=rescan&status=OK\n");
    std::string l = leaves();
    EXPECT_NE(l.find("D4_1:gw7:502\n"), std::string::npos);
    EXPECT_EQ(l.find("gw9"), std::string::npos);
}

TEST_F(UtNodeTest, UnreachableNewGatewayIsWithdrawn) {
    Model m;
    m.types[0] = 3;
    add("gw1:502", m);
    link.gateways["down:502"].reachable = false;
    EXPECT_EQ(run("?cmd=rescan&node=gw1:502\n?cmd=rescan&node=down:502\n?cmd=rescan&node=nosuch:502\n"),
              "?cmd=rescan&status=OK\n?cmd=rescan&status=ENONODE\n?cmd=rescan&status=ENONODE\n");
    EXPECT_EQ(ut_table.head->count, 1);
    EXPECT_EQ(link.lockDepth, 0);
    // A known gateway that has gone away keeps its record and leaves.
    link.gateways["gw1:502"].reachable = false;
    EXPECT_EQ(run("?cmd=rescan&node=gw1:502\n"), "?cmd=rescan&status=ENONODE\n");
    EXPECT_EQ(ut_table.head->count, 1);
    EXPECT_EQ(leaves(),
              "?cmd=get_leaves&status=OK&val=0A0B0C00000001D6_1:gw1:502,0A0B0C00000001D6_2:gw1:502\n");
}

TEST_F(UtNodeTest, MissingAnswersKeepWhatWasThere) {
    // A new record whose gateway never answers stays all zeros: type 0 everywhere.
    link.gateways["mute:502"].answer = [](int, int) { return kSilent; };
    EXPECT_EQ(run("?cmd=rescan&node=mute:502\n"), "?cmd=rescan&status=OK\n");
    std::string l = leaves();
    EXPECT_EQ(l.rfind("?cmd=get_leaves&status=OK&val=00000000000001D4_1:mute:502,00000000000021D4_1", 0), 0u);
    EXPECT_NE(l.find(",00000000001261D4_1:mute:502\n"), std::string::npos);

    // A scanned gateway that falls silent or answers short keeps its data.
    Model m;
    m.types[5] = 6;
    add("gw1:502", m);
    run("?cmd=rescan&node=gw1:502\n");
    std::string before = leaves();
    EXPECT_NE(before.find("0A0B0C00000101D8_1:gw1:502,0A0B0C00000101D8_2:gw1:502"), std::string::npos);
    link.gateways["gw1:502"].answer = [](int, int) { return normal(Bytes(3, '\x11')); };  // short
    EXPECT_EQ(run("?cmd=rescan&node=gw1:502\n"), "?cmd=rescan&status=OK\n");
    EXPECT_EQ(leaves(), before);
    // Exceptions mark identity and channels with 0xFF: no leaves for the gateway.
    link.gateways["gw1:502"].answer = [](int, int) { return exception(0x83, 0x0B); };
    run("?cmd=rescan&node=gw1:502\n");
    EXPECT_EQ(leaves().find("gw1"), std::string::npos);
    EXPECT_EQ(0, memcmp(ut_table.nodes[1].identity, "\xFF\xFF\xFF\xFF\xFF\xFF", 6));
}

TEST_F(UtNodeTest, RescanVerboseTraces) {
    Model m;
    m.types[0] = 0;
    m.exceptionChannelsFrom = 1;
    int calls = 0;
    link.gateways["gw1:502"].answer = [&](int first, int count) {
        calls++;
        if (calls == 3) return kSilent;  // channel 1
        return m(first, count);
    };
    std::string out = run("!v\r\n?cmd=rescan&node=gw1:502\n");
    std::vector<std::string> lines;
    for (size_t p = 0; p < out.size();) {
        size_t e = out.find('\n', p);
        lines.push_back(out.substr(p, e - p));
        p = e + 1;
    }
    // verbose on; identity: send, received, OK; channel 0: send, received; channel 1:
    // send, EINVALNODERES; channels 2..63: send, received, ERR; the answer.
    ASSERT_EQ(lines.size(), 1u + 3 + 2 + 2 + 62 * 3 + 1);
    EXPECT_EQ(lines[0], "!v. OK, verbose-mode on.");
    EXPECT_EQ(lines[1], "!send '00000000000600030bc50003' to host.");
    EXPECT_EQ(lines[2], "!'0000000000090003060102030a0b0c' is received from node-network.");
    EXPECT_EQ(lines[3], "!OK");
    EXPECT_EQ(lines[4], "!send '000000000006000307d00005' to host.");
    EXPECT_EQ(lines[5], "!'00000000000d00030a00000000000000000000' is received from node-network.");
    EXPECT_EQ(lines[6], "!send '000000000006000307da0005' to host.");
    EXPECT_EQ(lines[7], "!EINVALNODERES");  // nothing received: no received line
    EXPECT_EQ(lines[8], "!send '000000000006000307e40005' to host.");
    EXPECT_EQ(lines[9], "!'000000000003008302' is received from node-network.");
    EXPECT_EQ(lines[10], "!ERR 8302");
    EXPECT_EQ(lines.back(), "?cmd=rescan&status=OK");
}

TEST_F(UtNodeTest, RescanRequestChecks) {
    struct {
        const char* line;
        const char* answer;
    } rows[] = {
        {"?cmd=rescan\n", "?cmd=rescan&status=EINVALNODE&val=\n"},
        {"?cmd=rescan&node=gw1\n", "?cmd=rescan&status=EINVALNODE&val=gw1\n"},
        {"?cmd=rescan&node=gw1:0\n", "?cmd=rescan&status=E_DUMMY_SCAN_NOT_IMPLEMENTED_YET\n"},
        {"?cmd=rescan&node=gw1:x\n", "?cmd=rescan&status=E_DUMMY_SCAN_NOT_IMPLEMENTED_YET\n"},
        {"!v\r\n?cmd=rescan&node=gw1:\n",
         "!v. OK, verbose-mode on.\n!node.port == 0, return a dummy response.\n"
         "?cmd=rescan&status=E_DUMMY_SCAN_NOT_IMPLEMENTED_YET\n"},
    };
    for (auto& r : rows) EXPECT_EQ(run(r.line), r.answer) << r.line;
    EXPECT_TRUE(link.opened.empty());

    // 103 characters of host fit a record; 104 do not, and are refused, not cut.
    std::string h103(103, 'h'), h104(104, 'h');
    link.gateways[h103 + ":502"].answer = Model();
    link.gateways[h104.substr(0, 103) + ":502"].answer = Model();
    EXPECT_EQ(run("?cmd=rescan&node=" + h103 + ":502\n"), "?cmd=rescan&status=OK\n");
    EXPECT_EQ(run("?cmd=rescan&node=" + h104 + ":502\n"), "?cmd=rescan&status=EINVALNODE&val=" + h104 + ":502\n");
    EXPECT_EQ(ut_table.head->count, 1);
    EXPECT_EQ(std::string(ut_table.nodes[0].host), h103);
}

TEST_F(UtNodeTest, LeafListStaysWithinItsArea) {
    // One record, a 103-character host and eight leaves on every channel need more
    // than the 64 KiB the segment gives one record.
    attach(1);
    Model m;
    for (int& t : m.types) t = 5;
    std::string host(103, 'a');
    add(host + ":65535", m);
    drvtest::LogCapture log;
    EXPECT_EQ(run("?cmd=rescan&node=" + host + ":65535\n"), "?cmd=rescan&status=OK\n");
    const char* list = ut_table.leaves;
    size_t len = strnlen(list, ut_table.leavesCap);
    ASSERT_LT(len, ut_table.leavesCap);
    EXPECT_EQ(list[len - 1], '\n');
    EXPECT_NE(list[len - 2], ',');
    // Only whole entries of 128 characters and their separators: 508 of the 512
    // fit, and the list ends in a complete name.
    EXPECT_EQ(len, 508u * 129);
    EXPECT_EQ(std::string(list + len - 1 - (19 + 103 + 6), 19), "0A0B0C00001261D3_1:");
    ASSERT_FALSE(log.all().empty());
    EXPECT_EQ(log.all().back().text, "leaf list full, some leaves are not listed");
}

TEST_F(UtNodeTest, GetValueOfEveryToq) {
    Model m;
    add("gw1:502", m);
    const char* toqs[] = {"D4_1", "D0_1", "D1_1", "D2_1", "D3_1", "D5_1",
                          "D4_2", "D5_2", "D6_1", "D6_2", "D8_1", "D8_2"};
    const int offsets[] = {10, 2, 4, 6, 8, 12, 14, 16, 2, 4, 2, 4};
    for (int i = 0; i < 12; i++) {
        std::string got = run(std::string("?cmd=get_value&node=gw1:502&leaf=0A0B0C00000021D4_1:gw1:502&toq=") +
                              toqs[i] + "\n");
        double v = m.value(2, offsets[i]);
        if (strcmp(toqs[i], "D3_1") == 0) v *= 100;
        char want[128];
        snprintf(want, sizeof want, "?cmd=get_value&status=OK&val=%f&time=2023-11-14_22:12:20\n", v);
        EXPECT_EQ(got, want) << toqs[i];
    }
    // Block 2 is registers 20..37; each reading one connection under the lock.
    EXPECT_EQ(link.sent.back(), Bytes("\0\0\0\0\0\x06\0\x03\0\x14\0\x12", 12));
    EXPECT_EQ(link.opened.size(), 12u);
    EXPECT_EQ(link.takes, 12);
    EXPECT_EQ(link.lockDepth, 0);
}

TEST_F(UtNodeTest, GetValueOutcomes) {
    Model m;
    add("gw1:502", m);
    link.gateways["gw2:502"].answer = [](int, int) { return exception(0x83, 0x02); };
    link.gateways["gw3:502"].answer = [](int, int) { return kSilent; };
    link.gateways["gw4:502"].answer = [](int, int) { return normal(Bytes(4, '\0')); };  // 13 bytes
    link.gateways["gw5:502"].answer = [&](int f, int c) { return m(f, c).substr(0, 44); };
    link.gateways["gw6:502"].answer = [](int, int) { return normal(i16(0) + i16(-3600) + f32(1.25f)); };
    link.gateways["gw7:502"].answer = [](int, int) { return Bytes("\0\0\0\0\0\x03\0\x03", 8); };
    link.gateways["down:502"].reachable = false;
    struct {
        const char* q;
        const char* answer;
    } rows[] = {
        {"node=gw1:502&leaf=0A0B0C00000001D4_1:gw1:502&toq=D4_1",
         "?cmd=get_value&status=OK&val=110.500000&time=2023-11-14_22:12:20\n"},
        {"node=gw1:502&toq=D3_1", "?cmd=get_value&status=OK&val=10850.000000&time=2023-11-14_22:12:20\n"},
        {"node=gw1:502&leaf=0A0B0C00000001D4_1:gw1:502&toq=XY", "?cmd=get_value&status=EINVALTOQ&val=XY\n"},
        {"node=gw1:502&leaf=0A0B0C00000001D4_1:gw1:502", "?cmd=get_value&status=EINVALTOQ&val=\n"},
        {"node=gw2:502&toq=D4_1", "?cmd=get_value&status=ENODEERR&val=02\n"},
        {"node=gw3:502&toq=D4_1", "?cmd=get_value&status=EINVALNODERES\n"},
        {"node=gw7:502&toq=D4_1", "?cmd=get_value&status=EINVALNODERES\n"},
        // 13 bytes: enough for the age, not for the value.
        {"node=gw4:502&toq=D0_1", "?cmd=get_value&status=EINVALNODERES\n"},
        {"node=gw4:502&toq=XY", "?cmd=get_value&status=EINVALTOQ&val=XY\n"},
        // 44 bytes: everything but the last byte of D5_2.
        {"node=gw5:502&toq=D4_2", "?cmd=get_value&status=OK&val=114.500000&time=2023-11-14_22:12:20\n"},
        {"node=gw5:502&toq=D5_2", "?cmd=get_value&status=EINVALNODERES\n"},
        // A negative age puts the measuring time after now; 17 bytes carry D0_1.
        {"node=gw6:502&toq=D0_1", "?cmd=get_value&status=OK&val=1.250000&time=2023-11-14_23:13:20\n"},
        {"node=down:502&toq=D4_1", "?cmd=get_value&status=ENONODE&val=down:502\n"},
        {"node=nosuch:70000&toq=D4_1", "?cmd=get_value&status=ENONODE&val=nosuch:70000\n"},
        {"toq=D4_1", "?cmd=get_value&status=ENONODE&val=192.168.0.250:502\n"},
        {"node=gw1&toq=D4_1", "?cmd=get_value&status=EINVALNODE&val=gw1\n"},
        {"node=gw1:502&leaf=XXXXXX-21&toq=D4_1", "?cmd=get_value&status=EINVALLEAF&val=0\n"},
        {"node=gw1:502&leaf=short&toq=D4_1", "?cmd=get_value&status=EINVALLEAF&val=0\n"},
        {"node=gw1:502&leaf=XXXXXX65521&toq=D4_1", "?cmd=get_value&status=EINVALLEAF&val=3277\n"},
    };
    for (auto& r : rows) EXPECT_EQ(run(std::string("?cmd=get_value&") + r.q + "\n"), r.answer) << r.q;
    EXPECT_EQ(link.lockDepth, 0);
    // The last block of 16-bit registers is still read.
    EXPECT_EQ(run("?cmd=get_value&node=gw1:502&leaf=XXXXXX65501&toq=D0_1\n"),
              "?cmd=get_value&status=OK&val=327602.500000&time=2023-11-14_22:12:20\n");
    EXPECT_EQ(link.sent.back(), Bytes("\0\0\0\0\0\x06\0\x03\xFF\xDC\0\x12", 12));
}

TEST_F(UtNodeTest, GetValueMadeUpForPortZero) {
    std::string out = run("?cmd=get_value&node=gw1:0&toq=D4_1\n?cmd=get_value&node=gw1:0&toq=ipc\n"
                          "!v\r\n?cmd=get_value&node=gw1:0\n");
    EXPECT_TRUE(link.opened.empty());
    char a[32], b[32], c[32];
    ASSERT_EQ(sscanf(out.c_str(),
                     "?cmd=get_value&status=OK&val=%31[0-9.]\n?cmd=get_value&status=OK&val=%31[0-9.]\n"
                     "!v. OK, verbose-mode on.\n!node.port == 0, return a dummy response.\n"
                     "?cmd=get_value&status=OK&val=%31[0-9.]\n",
                     a, b, c),
              3)
        << out;
    // A random 0..999 through div100, and the time in seconds through div100.
    double r = atof(a);
    EXPECT_TRUE(r >= 0 && r <= 9.99) << a;
    EXPECT_EQ(strlen(a) - (strchr(a, '.') - a), 3u) << a;
    long long now = time(nullptr);
    long long t = atoll(std::string(b).erase(strlen(b) - 3, 1).c_str());
    EXPECT_LE(std::llabs(t - now), 5) << b;
    EXPECT_EQ(std::string(b).size(), std::string(c).size());
}

TEST_F(UtNodeTest, GetValueVerboseTraces) {
    Model m;
    add("gw1:502", m);
    std::string out = run("!v\r\n?cmd=get_value&node=gw1:502&toq=D4_1\n");
    std::string ans = m(0, 18);
    char esc[4 * 45 + 1];
    memcpy(esc, ans.data(), ans.size());
    ov3_bytes::escape(esc, (int)ans.size());
    EXPECT_EQ(out, std::string("!v. OK, verbose-mode on.\n"
                               "!send '\\x00\\x00\\x00\\x00\\x00\\x06\\x00\\x03\\x00\\x00\\x00\\x12' to host.\n"
                               "!'") +
                       esc +
                       "' is received from node-network.\n"
                       "!2023-11-14 22:13:20 now\n"
                       "!2nd register says time diff = 60 [sec]\n"
                       "!2023-11-14 22:12:20 is to be measuring-datetime.\n"
                       "?cmd=get_value&status=OK&val=110.500000&time=2023-11-14_22:12:20\n");
    EXPECT_EQ(std::string(esc, 25), "\\x00\\x00\\x00\\x00\\x00'\\x00");  // 0x27 = 39 bytes follow
}

TEST_F(UtNodeTest, RawPassThrough) {
    Bytes got;
    link.gateways["gw1:502"].answer = [&](int first, int count) {
        got = link.sent.back();
        return Bytes("\x00\x01 ok\t\\\xff", 8);
    };
    link.gateways["mute:502"].answer = [](int, int) { return kSilent; };
    link.gateways["closing:502"].answer = [](int, int) { return Bytes(); };
    link.gateways["down:502"].reachable = false;
    struct {
        const char* line;
        const char* answer;
    } rows[] = {
        {"!!gw1/abc\r\n", "! should be used like '!<host>:<port>/<string>' form.\n"},
        {"!!gw1:502\r\n", "! should be used like '!<host>:<port>/<string>' form.\n"},
        {"!!gw1:502/\\x00\\x00\\x00\\x00\\x00\\x06\\x00\\x03\\x0b\\xc5\\x00\\x03\r\n",
         "!gw1:502/\\x00\\x00\\x00\\x00\\x00\\x06\\x00\\x03\\x0b\\xc5\\x00\\x03. OK, send "
         "'\\x00\\x00\\x00\\x00\\x00\\x06\\x00\\x03\\x0b\\xc5\\x00\\x03' to host 'gw1', port 502\n"
         "!'\\x00\\x01\\x20ok\\t\\\\\\xff' is received from host 'gw1', port 502.\n"},
        {"!!down:502/x\r\n", "!down:502/x. OK, send 'x' to host 'down', port 502\n"
                             "!failed to connect host 'down', port 502\n"},
        {"!!mute:502/x\r\n", "!mute:502/x. OK, send 'x' to host 'mute', port 502\n"
                             "!host 'mute', port 502 don't reply in 5 seconds.\n"},
        {"!!closing:502/x\r\n", "!closing:502/x. OK, send 'x' to host 'closing', port 502\n"
                                "!'' is received from host 'closing', port 502.\n"},
    };
    for (auto& r : rows) EXPECT_EQ(run(r.line), r.answer) << r.line;
    // The data went out as the 12 bytes it stands for, nothing appended.
    EXPECT_EQ(got, Bytes("\0\0\0\0\0\x06\0\x03\x0b\xc5\0\x03", 12));
    EXPECT_EQ(link.lockDepth, 0);
    EXPECT_EQ(link.takes, 4);
}

// No answer or trace is written while the field-network lock is held: a client
// that stops reading would block that write, and every other gateway request
// with it. The bytes are the same, written once the lock is given back.
TEST_F(UtNodeTest, NothingIsWrittenUnderTheLock) {
    Model m;
    m.types[0] = 0;
    add("gw1:502", m);
    struct LockCheckConn : drvtest::StringConn {
        using StringConn::StringConn;
        const int* depth = nullptr;
        int flushesHeld = 0;
        void flush() override {
            if (*depth) flushesHeld++;
            StringConn::flush();
        }
    } c("!v\r\n?cmd=rescan&node=gw1:502\n?cmd=get_value&node=gw1:502&leaf=XXXXXX00000001&toq=D4_1\n"
        "!!gw1:502/x\r\n");
    c.depth = &link.lockDepth;
    drv::serve(c, kDialect);
    EXPECT_EQ(c.flushesHeld, 0);
    EXPECT_NE(c.out.find("?cmd=rescan&status=OK\n"), std::string::npos);
    EXPECT_NE(c.out.find("?cmd=get_value&status=OK"), std::string::npos);
    EXPECT_NE(c.out.find("is received from host 'gw1'"), std::string::npos);
    EXPECT_EQ(link.takes, 3);
}

}  // namespace
