// FTP reply parsing: single and multi-line replies, split input, malformed and
// oversized lines, and the passive-mode address.
#include <gtest/gtest.h>

#include "ftp_reply.h"

namespace uplder {
namespace {

TEST(FtpReply, Replies) {
    struct Case {
        std::string input;
        bool complete;
        int code;
        std::string text;
        size_t consumed;
    } cases[] = {
        {"220 ready\r\n", true, 220, "220 ready", 11},
        {"230 ok\n", true, 230, "230 ok", 7},
        {"200\r\n", true, 200, "200", 5},
        {"220-Welcome\r\n220-more\r\n220 done\r\n", true, 220, "220-Welcome\r\n220-more\r\n220 done", 33},
        // Inner lines may start with digits of another code, or of the same code and "-".
        {"211-Status\r\n 211 inner\r\n200 other\r\n211-still\r\n211 end\r\n", true, 211,
         "211-Status\r\n 211 inner\r\n200 other\r\n211-still\r\n211 end", 55},
        {"250 first\r\n250 second\r\n", true, 250, "250 first", 11},  // the rest stays for later
        {"550 partial", false, 550, "", 11},
        {"hello\r\n", true, 0, "hello", 7},
        {"2200 x\r\n", true, 0, "2200 x", 8},
        {"099 low\r\n", true, 0, "099 low", 9},
    };
    for (const Case& c : cases) {
        FtpReplyParser p;
        size_t used = p.feed(c.input.data(), c.input.size());
        EXPECT_EQ(p.complete(), c.complete) << c.input;
        EXPECT_EQ(used, c.consumed) << c.input;
        if (c.complete) {
            EXPECT_EQ(p.code(), c.code) << c.input;
            EXPECT_EQ(p.text(), c.text) << c.input;
        }
    }
}

TEST(FtpReply, ByteByByteEqualsAllAtOnce) {
    std::string in = "150-Opening\r\n150 connection\r\n";
    FtpReplyParser p;
    for (char ch : in) {
        ASSERT_FALSE(p.complete());
        EXPECT_EQ(p.feed(&ch, 1), 1u);
    }
    EXPECT_TRUE(p.complete());
    EXPECT_EQ(p.code(), 150);
    EXPECT_EQ(p.text(), "150-Opening\r\n150 connection");
    p.reset();
    EXPECT_FALSE(p.complete());
    EXPECT_EQ(p.text(), "");
}

TEST(FtpReply, OversizedInputStaysBounded) {
    FtpReplyParser p;
    std::string first = "220-" + std::string(10000, 'a') + "\r\n";
    p.feed(first.data(), first.size());
    for (int i = 0; i < 20; ++i) {
        std::string l = "220-" + std::string(3000, 'b') + "\r\n";
        p.feed(l.data(), l.size());
    }
    std::string end = "220 end\r\n";
    p.feed(end.data(), end.size());
    EXPECT_TRUE(p.complete());
    EXPECT_LE(p.text().size(), FtpReplyParser::kMaxText);
    EXPECT_EQ(p.text().substr(0, 4), "220-");
    EXPECT_EQ(p.text().size(), FtpReplyParser::kMaxText);
}

TEST(FtpReply, PassiveAddress) {
    struct Case {
        std::string text;
        bool ok;
        uint8_t host[4];
        uint16_t port;
    } cases[] = {
        {"227 Entering Passive Mode (127,0,0,1,195,80).", true, {127, 0, 0, 1}, 195 * 256 + 80},
        {"227 Entering passive mode 10,1,2,3,0,21", true, {10, 1, 2, 3}, 21},
        {"227 =192,168,0,254,255,255", true, {192, 168, 0, 254}, 65535},
        {"227 Entering Passive Mode (127,0,0,1,256,80).", false, {}, 0},
        {"227 Entering Passive Mode (127,0,0,1,195).", false, {}, 0},
        {"227 (1,2,3,4,5,6666)", false, {}, 0},
        {"227 v2 (127,0,0,1,4,1)", true, {127, 0, 0, 1}, 1025},  // "2" alone does not start six numbers
        {"227", false, {}, 0},
    };
    for (const Case& c : cases) {
        uint8_t h[4] = {9, 9, 9, 9};
        uint16_t port = 7;
        EXPECT_EQ(parsePasvReply(c.text, h, port), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(std::vector<int>(h, h + 4), std::vector<int>(c.host, c.host + 4)) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        }
    }
}

}  // namespace
}  // namespace uplder
