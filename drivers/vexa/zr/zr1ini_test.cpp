// ZR1Communicator.ini as the commander reads it, the leaf-name prefix, and the
// one-entry error log.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "zr1comm.h"

namespace {

struct Settings {
    int port, key1, key2, timeout, maxnodes, shmkey;
    const char* ifname;
};

Settings readText(const std::string& text) {
    zr1DefaultSettings();
    std::string copy = text;
    FILE* fp = fmemopen(copy.data(), copy.size(), "r");
    EXPECT_NE(fp, nullptr);
    if (fp) {
        InitFileReadFrom(fp);
        fclose(fp);
    }
    return {PORT_NUMBER, MSGREQ_KEY, MSGANS_KEY, MSG_TIMEOUT, MAXNODES, SHMKEY231, IFNAME};
}

TEST(Zr1Ini, Rules) {
    struct Case {
        const char* name;
        const char* text;
        Settings want;
    } cases[] = {
        {"shipped file",
         "[SERIAL]\ndevice=/dev/ttyUSB0\nbaud=19200\ntimeout=1400000\n[ZR11ACOMMAND]\nmaxnodes=15\n"
         "[MSGQUE]\nkey1=1000\nkey2=2000\n",
         {1131, 1000, 2000, 2700000, 15, 1131, "eth0"}},
        {"every key",
         "[NETWORK]\nport=2131\n[MSGQUE]\nkey1=11\nkey2=22\ntimeout=500000\n[ZR11ACOMMAND]\nmaxnodes=3\n"
         "[DRVCOMMAND]\nifname=eth1\n[SHM]\nshmkey=77\n",
         {2131, 11, 22, 500000, 3, 77, "eth1"}},
        {"[SERIAL] timeout is not the queue timeout", "[SERIAL]\ntimeout=5\n", {1131, 1000, 2000, 2700000, 15, 1131, "eth0"}},
        {"maxnodes above the network's largest", "[ZR11ACOMMAND]\nmaxnodes=20\n", {1131, 1000, 2000, 2700000, 15, 1131, "eth0"}},
        {"maxnodes below 0", "[ZR11ACOMMAND]\nmaxnodes=-1\n", {1131, 1000, 2000, 2700000, 15, 1131, "eth0"}},
        {"prefix match", "[NETWORK]\nportable=1\n", {1, 1000, 2000, 2700000, 15, 1131, "eth0"}},
        {"no leading blanks", "[NETWORK]\n port=5\nport=6\n", {6, 1000, 2000, 2700000, 15, 1131, "eth0"}},
        {"run of = is one separator, text after the next = dropped", "[NETWORK]\nport==7=8\n",
         {7, 1000, 2000, 2700000, 15, 1131, "eth0"}},
        {"only the line end gives 0", "[NETWORK]\nport=\n", {0, 1000, 2000, 2700000, 15, 1131, "eth0"}},
        {"nothing after = at the end of the file", "[NETWORK]\nport=", {1131, 1000, 2000, 2700000, 15, 1131, "eth0"}},
        {"atoi-like", "[NETWORK]\nport= +42abc\n", {42, 1000, 2000, 2700000, 15, 1131, "eth0"}},
        {"one-key section stops at its key", "[NETWORK]\nport=1\nport=2\n", {1, 1000, 2000, 2700000, 15, 1131, "eth0"}},
        {"[MSGQUE] stops after three key lines", "[MSGQUE]\nkey1=1\nkey2=2\ntimeout=3\nkey1=4\n",
         {1131, 1, 2, 3, 15, 1131, "eth0"}},
        {"a repeated key counts again", "[MSGQUE]\nkey1=1\nkey1=2\nkey1=3\nkey2=9\n",
         {1131, 3, 2000, 2700000, 15, 1131, "eth0"}},
        {"next section ends the current one", "[MSGQUE]\nkey1=5\n[NETWORK]\nport=9\nkey2=4\n",
         {9, 5, 2000, 2700000, 15, 1131, "eth0"}},
        {"sections repeat, later wins", "[NETWORK]\nport=1\n[SHM]\nshmkey=2\n[NETWORK]\nport=3\n",
         {3, 1000, 2000, 2700000, 15, 2, "eth0"}},
        {"keys outside a section are skipped", "port=5\n[OTHER]\nport=6\n", {1131, 1000, 2000, 2700000, 15, 1131, "eth0"}},
        {"ifname without line end", "[DRVCOMMAND]\nifname=wlan0", {1131, 1000, 2000, 2700000, 15, 1131, "wlan0"}},
        {"ifname with CR LF", "[DRVCOMMAND]\nifname=eth2\r\n", {1131, 1000, 2000, 2700000, 15, 1131, "eth2"}},
        {"long ifname is cut to the buffer",
         "[DRVCOMMAND]\nifname=abcdefghijklmnopqrstuvwxyz\n", {1131, 1000, 2000, 2700000, 15, 1131, "abcdefghijklmno"}},
        {"huge number saturates", "[NETWORK]\nport=99999999999999\n", {2147483647, 1000, 2000, 2700000, 15, 1131, "eth0"}},
    };
    for (const Case& c : cases) {
        Settings s = readText(c.text);
        EXPECT_EQ(s.port, c.want.port) << c.name;
        EXPECT_EQ(s.key1, c.want.key1) << c.name;
        EXPECT_EQ(s.key2, c.want.key2) << c.name;
        EXPECT_EQ(s.timeout, c.want.timeout) << c.name;
        EXPECT_EQ(s.maxnodes, c.want.maxnodes) << c.name;
        EXPECT_EQ(s.shmkey, c.want.shmkey) << c.name;
        EXPECT_STREQ(s.ifname, c.want.ifname) << c.name;
    }
}

TEST(Zr1Ini, CrLfSectionHeaderStillOpens) {
    // The header is compared over its own length, so "[NETWORK]\r\n" opens it.
    Settings s = readText("[NETWORK]\r\nport=5\r\n");
    EXPECT_EQ(s.port, 5);
}

TEST(Zr1Ini, LongLinesAreReadInPieces) {
    // A line longer than 1023 characters is read as pieces; the piece that
    // begins a new "line" after the cut can match a key.
    std::string text = "[NETWORK]\n" + std::string(1023, 'x') + "port=12\n";
    Settings s = readText(text);
    EXPECT_EQ(s.port, 12);
}

TEST(Zr1Prefix, FromHardwareAddress) {
    struct Case {
        const char* hw;
        const char* prefix;
    } cases[] = {
        {"00:0A:35:12:AB:CD", "12ABCD"},
        {"00:00:00:00:00:00", "000000"},
        {"00:0A:35:12:AB:C", "000000"},  // 16 characters: too short
        {"", "000000"},
        {nullptr, "000000"},
    };
    for (const Case& c : cases) {
        char out[7] = "xxxxxx";
        zr1PrefixFromHwaddr(out, c.hw);
        EXPECT_STREQ(out, c.prefix) << (c.hw ? c.hw : "(null)");
    }
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(Zr1ErrorLog, KeepsOnlyTheLastEntry) {
    char dir[] = "/tmp/zr1logXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/ZR1ERROR.log";
    zr1ErrorLogPath = path.c_str();
    errno = EINVAL;
    ErrorOut("InitShm:shmat");
    EXPECT_EQ(errno, EINVAL);  // kept for the perror that follows
    errno = ENOENT;
    ErrorOut("InitFileRead:fopen");
    std::string log = slurp(path);
    // asctime line (24 characters and LF), then text(strerror)LF.
    ASSERT_EQ(log.size(), 25 + strlen("InitFileRead:fopen(No such file or directory)\n")) << log;
    EXPECT_EQ(log[24], '\n');
    EXPECT_EQ(log.substr(25), "InitFileRead:fopen(No such file or directory)\n");
    EXPECT_EQ(log.find("shmat"), std::string::npos);
    unlink(path.c_str());
    rmdir(dir);
}

// What a failure prints on standard error when the log cannot be written: the
// steps of the log that failed ("open", "flock (EX)", "flock (UN)", "close"; a
// failed write prints nothing), then the failure's own text with its errno.
TEST(Zr1ErrorLog, StandardErrorWhenTheLogCannotBeWritten) {
    struct Case { const char* path; std::string want; } cases[] = {
        {"/nonexistent-zr1/ZR1ERROR.log",
         "open: No such file or directory\nflock (EX): Bad file descriptor\n"
         "flock (UN): Bad file descriptor\nclose: Bad file descriptor\n"
         "DoMsg:msgsnd: Identifier removed\n"},
        {"/dev/full", "DoMsg:msgsnd: Identifier removed\n"},  // opens, locks; the write fails
    };
    for (const auto& c : cases) {
        zr1ErrorLogPath = c.path;
        testing::internal::CaptureStderr();
        errno = EIDRM;
        zr1Fail("DoMsg:msgsnd");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.want) << c.path;
    }
}

}  // namespace
