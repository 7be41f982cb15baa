// serlink's reading of ZR1Communicator.ini: which settings it takes, how it
// converts them and what it echoes on the console.
#include "serlink_ini.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

struct Read {
    std::string echo;
};

Read read_text(const std::string& text) {
    ini_defaults();
    FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    char* buf = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    ini_reader_file(in, out);
    fclose(in);
    fclose(out);
    Read r{std::string(buf, len)};
    free(buf);
    return r;
}

const char* kShipped =
    "[SERIAL]\ndevice=/dev/ttyUSB0\nbaud=19200\ntimeout=1400000\n"
    "[ZR11ACOMMAND]\nmaxnodes=15\n[MSGQUE]\nkey1=1000\nkey2=2000\n";

TEST(SerlinkIni, ShippedFile) {
    Read r = read_text(kShipped);
    EXPECT_EQ(r.echo,
              "[SERIAL]\ndevice=/dev/ttyUSB0\nbaud=19200\ntimeout=1400000\n"
              "[MSGQUE]\nrecvkey=1000\nsendkey=2000\n");
    EXPECT_STREQ(device, "/dev/ttyUSB0");
    EXPECT_EQ(baud, 3);
    EXPECT_EQ(timeout_usec, 1400000);
    EXPECT_EQ(recvkey, 1000);
    EXPECT_EQ(sendkey, 2000);
}

TEST(SerlinkIni, Conversions) {
    struct {
        const char* text;
        const char* dev;
        int baud;
        long timeout;
        int key1, key2;
    } cases[] = {
        {"[SERIAL]\ndevice=/dev/pts/3\nbaud=4800\ntimeout=250000us\n", "/dev/pts/3", 1, 250000, 1000, 2000},
        {"[SERIAL]\nbaud=9600\n", "/dev/ttyUSB0", 2, 1400000, 1000, 2000},
        {"[SERIAL]\nbaud=38400\n", "/dev/ttyUSB0", 4, 1400000, 1000, 2000},
        {"[SERIAL]\nbaud=57600\n", "/dev/ttyUSB0", 3, 1400000, 1000, 2000},
        {"[SERIAL]\nbaud=4800\nbaud=abc\n", "/dev/ttyUSB0", 3, 1400000, 1000, 2000},
        // At most 12 characters; a CR LF line end is not part of the path; a last
        // line without a line end keeps its last character.
        {"[SERIAL]\ndevice=/dev/ttyUSB0123456\n", "/dev/ttyUSB0", 3, 1400000, 1000, 2000},
        {"[SERIAL]\r\ndevice=/dev/ttyS1\r\n", "/dev/ttyS1", 3, 1400000, 1000, 2000},
        {"[SERIAL]\ndevice=/dev/ttyS1", "/dev/ttyS1", 3, 1400000, 1000, 2000},
        // The value ends at a further "=".
        {"[MSGQUE]\nkey1=1234=99\nkey2= 77\n", "/dev/ttyUSB0", 3, 1400000, 1234, 77},
        // Keys are matched as line prefixes.
        {"[MSGQUE]\nkey1x=5\nkey2=6\n", "/dev/ttyUSB0", 3, 1400000, 5, 6},
        // Lines without "=" and unknown keys are skipped; a huge timeout saturates.
        {"[SERIAL]\ndevice\nfoo=1\ntimeout=99999999999999999999999\n", "/dev/ttyUSB0", 3, LONG_MAX, 1000, 2000},
        // Sections of the commander and lines outside sections are ignored.
        {"key1=5\n[NETWORK]\nport=1\nkey1=9\n", "/dev/ttyUSB0", 3, 1400000, 1000, 2000},
    };
    for (auto& c : cases) {
        read_text(c.text);
        EXPECT_STREQ(device, c.dev) << c.text;
        EXPECT_EQ(baud, c.baud) << c.text;
        EXPECT_EQ(timeout_usec, c.timeout) << c.text;
        EXPECT_EQ(recvkey, c.key1) << c.text;
        EXPECT_EQ(sendkey, c.key2) << c.text;
    }
}

TEST(SerlinkIni, SectionEndsAtTheNextHeaderWhichIsStillRead) {
    Read r = read_text("[SERIAL]\ndevice=/dev/pts/9\n[MSGQUE]\nkey1=11\nkey2=22\n");
    EXPECT_EQ(r.echo, "[SERIAL]\ndevice=/dev/pts/9\n[MSGQUE]\nrecvkey=11\nsendkey=22\n");
    EXPECT_EQ(recvkey, 11);
}

TEST(SerlinkIni, SectionEndsWhenAllKeysWereCounted) {
    // A repeated key counts again: after two key lines the [MSGQUE] loop ends and
    // the third key line is outside any section.
    read_text("[MSGQUE]\nkey1=1\nkey1=2\nkey2=3\n");
    EXPECT_EQ(recvkey, 2);
    EXPECT_EQ(sendkey, 2000);
}

TEST(SerlinkIni, BaudEchoOnlyForKnownSpeeds) {
    EXPECT_EQ(read_text("[SERIAL]\nbaud=57600\n").echo, "[SERIAL]\n");
    EXPECT_EQ(read_text("[SERIAL]\nbaud=9600\n").echo, "[SERIAL]\nbaud=9600\n");
}

}  // namespace
