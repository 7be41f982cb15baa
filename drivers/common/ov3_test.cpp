#include "ov3.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// Parses a copy of text and lists the pairs as ov3_printAll shows them.
std::string parsed(std::string text) {
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    ov3_parse(buf.data());
    char out[4096] = {};
#ifdef _WIN32
    // No fmemopen on Windows: go through a temporary file.
    FILE* f = tmpfile();
    ov3_printAll(f);
    rewind(f);
    size_t n = fread(out, 1, sizeof out - 1, f);
    out[n] = '\0';
    fclose(f);
#else
    FILE* f = fmemopen(out, sizeof out, "w");
    ov3_printAll(f);
    fclose(f);
#endif
    return out;
}

TEST(Ov3Parse, Pieces) {
    const struct { const char* text; const char* pairs; } cases[] = {
        {"cmd=hello", "(cmd),(hello)\n"},
        {"?cmd=hello", "(?cmd),(hello)\n"},
        {"  cmd = get_value & node = 2\r\n", "(cmd),(get_value)\n(node),(2)\n"},
        {"cmd=hello&&node", "(cmd),(hello)\n"},
        {"a=b=c", "(a),(b=c)\n"},
        {"a=", "(a),()\n"},
        {"=v", "(),(v)\n"},
        {"&&&", ""},
        {"", ""},
        {" \t\r\n", ""},
        {"x", ""},
        {"cmd=hello&cmd=kill", "(cmd),(hello)\n(cmd),(kill)\n"},
        {"k=%41+b", "(k),(%41+b)\n"},
    };
    for (auto& c : cases) EXPECT_EQ(parsed(c.text), c.pairs) << "text '" << c.text << "'";
}

TEST(Ov3Parse, LookupTakesFirstAndIsExact) {
    char text[] = "cmd=hello&cmd=kill&Node=3";
    ov3_parse(text);
    ASSERT_NE(ov3_value("cmd"), nullptr);
    EXPECT_STREQ(ov3_value("cmd"), "hello");
    EXPECT_EQ(ov3_value("node"), nullptr);
    EXPECT_STREQ(ov3_value("Node"), "3");
    char other[] = "leaf=1";
    ov3_parse(other);
    EXPECT_EQ(ov3_value("cmd"), nullptr);  // each parse starts empty
    EXPECT_EQ(ov3_init(42), 42);
    EXPECT_EQ(ov3_value("leaf"), nullptr);
}

TEST(Ov3TextEscape, RoundTrip) {
    char buf[64] = "a\tb\rc\nd\\e";
    EXPECT_EQ(ov3_text::escape(buf), 9);
    EXPECT_STREQ(buf, "a\\tb\\rc\\nd\\\\e");
    EXPECT_STREQ(ov3_text::unescape(buf), "a\tb\rc\nd\\e");
}

TEST(Ov3TextEscape, WorstCaseFitsTwiceTheLength) {
    // Every character escaped: the result is exactly 2n characters plus the end.
    std::string in(100, '\\');
    std::vector<char> buf(2 * in.size() + 1, '#');
    std::copy(in.begin(), in.end(), buf.begin());
    buf[in.size()] = '\0';
    ov3_text::escape(buf.data());
    EXPECT_EQ(std::string(buf.data()), std::string(200, '\\'));
}

TEST(Ov3TextEscape, UnescapeIsOnePass) {
    const struct { const char* in; const char* out; } cases[] = {
        {"\\\\n", "\\n"},     // the produced backslash starts no new sequence
        {"\\x41", "\\x41"},   // the text form knows no \x
        {"\\q\\", "\\q\\"},   // unknown sequences and a trailing backslash stay
        {"\\t\\r\\n", "\t\r\n"},
    };
    for (auto& c : cases) {
        char buf[32];
        strcpy(buf, c.in);
        EXPECT_STREQ(ov3_text::unescape(buf), c.out) << c.in;
    }
}

TEST(Ov3BytesEscape, BinaryBytes) {
    char buf[4 * 4 + 1] = {0x00, 0x41, 0x20, (char)0xff};
    EXPECT_EQ(ov3_bytes::escape(buf, 4), 13);
    EXPECT_STREQ(buf, "\\x00A\\x20\\xff");
    EXPECT_EQ(ov3_bytes::unescape(buf), 4);
    EXPECT_EQ(std::string(buf, 4), std::string("\x00\x41\x20\xff", 4));
}

TEST(Ov3BytesEscape, EveryByteRoundTrips) {
    // All 256 byte values: worst case is four characters each.
    char buf[256 * 4 + 1];
    for (int i = 0; i < 256; i++) buf[i] = (char)i;
    int n = ov3_bytes::escape(buf, 256);
    EXPECT_EQ(n, (int)strlen(buf));
    EXPECT_LE(n, 256 * 4);
    for (int i = 0; i < n; i++) {
        unsigned char c = (unsigned char)buf[i];
        EXPECT_TRUE(c >= 33 && c <= 126) << "unprintable at " << i;
    }
    EXPECT_NE(strstr(buf, "\\t\\n\\x0b\\x0c\\r"), nullptr);
    EXPECT_NE(strstr(buf, "[\\\\]"), nullptr);
    ASSERT_EQ(ov3_bytes::unescape(buf), 256);
    for (int i = 0; i < 256; i++) ASSERT_EQ((unsigned char)buf[i], i);
}

TEST(Ov3BytesEscape, UnescapeEdges) {
    const struct { std::string in; std::string out; } cases[] = {
        {"\\x4A\\x4a", "JJ"},          // either case
        {"\\xzz", std::string(1, '\0')},  // non-digits count as 0
        {"ab\\x4", "ab\\x4"},          // cut short: stays as it is
        {"ab\\x", "ab\\x"},
        {"\\\\x41", "\\x41"},          // one pass
        {"\\y", "\\y"},
    };
    for (auto& c : cases) {
        std::vector<char> buf(c.in.begin(), c.in.end());
        buf.push_back('\0');
        int n = ov3_bytes::unescape(buf.data());
        EXPECT_EQ(std::string(buf.data(), n), c.out) << c.in;
    }
}

}  // namespace
