// Tests of the name rules, FAT dates and text helpers.
#include <gtest/gtest.h>

#include "names.h"

using namespace pakrel;

namespace {
// Code page 932's lead bytes; the decoding marks every non-ASCII byte, which is
// enough to see which way a name went.
struct FakeCp932 : CodePage {
    bool isLeadByte(uint8_t b) const override { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
    std::string toUtf8(const std::string& s) const override {
        std::string o;
        for (char c : s) o += uint8_t(c) < 0x80 ? std::string(1, c) : std::string("#");
        return o;
    }
};
}  // namespace

TEST(EntryNames, Utf8OrAnsiByTheByteCountRule) {
    FakeCp932 cp;
    struct Case { std::string raw, want; } cases[] = {
        {"plain.txt", "plain.txt"},
        {"\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt", "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt"},  // 3-byte sequences
        {"caf\xC3\xA9", "caf\xC3\xA9"},          // one extra byte, C3 is not a lead byte of 932
        {"\xC3\xA9\xC3\xA9", "\xC3\xA9\xC3\xA9"},  // two extra bytes
        {"\x83\x65\x83\x58", "#e#X"},            // Shift-JIS: not UTF-8 at all
        {"x\xD0\x96", "x\xD0\x96"},                // D0 is not a lead byte either
        {"x\xE0\xA0\x80", "x\xE0\xA0\x80"},        // three bytes, two extra
        {"\xC0\xAF", "##"},                        // overlong: not well-formed
        {"\xED\xA0\x80", "###"},                   // surrogate
    };
    for (const auto& c : cases) EXPECT_EQ(decodeEntryName(c.raw, cp), c.want) << c.raw;
    // Exactly one extra byte whose lead byte is a 932 lead byte: ANSI.
    struct LeadC2 : FakeCp932 { bool isLeadByte(uint8_t b) const override { return b == 0xC3; } } lead;
    EXPECT_EQ(decodeEntryName("caf\xC3\xA9", lead), "caf##");
}

TEST(EntryNames, CleaningKeepsEveryNameInsideTheDestination) {
    struct Case { std::string in, want; } cases[] = {
        {"a.txt", "a.txt"},
        {"dir\\a.txt", "dir\\a.txt"},
        {"..\\..\\etc\\passwd", "etc\\passwd"},
        {"../x", "x"},
        {"a/../../x", "a\\x"},
        {"\\\\server\\share\\x", "server\\share\\x"},
        {"\\abs\\x", "abs\\x"},
        {"C:\\Windows\\x", "C_\\Windows\\x"},
        {"a:b", "a_b"},
        {"q?\"*<>|\r\n", "q________"},
        {"a..\\b.txt", "ab.txt"},
        {"x..\\..\\y", "xy"},
        {"...\\x", ".x"},
        {"...\\.\\x", "x"},  // the first removal makes a new "..\"
        {"\\..\\x", "x"},
        {"a../b", "ab"},
        {"a\\.\\b", "a\\b"},
        {"a\\..", "a\\"},
        {"....\\\\\\x", "x"},
        {"..", ""},
        {"dir\\", "dir\\"},
        {"a\\\\b", "a\\b"},
    };
    for (const auto& c : cases) EXPECT_EQ(cleanEntryName(c.in), c.want) << c.in;
    // Whatever the rules make of a name, it stays below the destination: no
    // leading separator, no "..\" left, no part made only of dots.
    for (const auto& c : cases) {
        std::string out = cleanEntryName(c.in);
        EXPECT_EQ(out.find("..\\"), std::string::npos) << c.in;
        EXPECT_TRUE(out.empty() || out[0] != '\\') << c.in;
        for (size_t i = 0, j; i < out.size(); i = j + 1) {
            j = out.find('\\', i);
            if (j == std::string::npos) j = out.size();
            std::string part = out.substr(i, j - i);
            EXPECT_TRUE(part.empty() || part.find_first_not_of('.') != std::string::npos) << c.in;
        }
    }
    EXPECT_EQ(utf16Length("a\xC3\xA9\xE3\x83\x86\xF0\x9F\x98\x80"), 5u) << "a surrogate pair counts 2";
}

TEST(EntryNames, FinishingRemovesTrailingBlanksAndRejectsEmptyNames) {
    struct Case { std::string in; bool ok; std::string out; } cases[] = {
        {"a.txt  ", true, "a.txt"}, {"   ", false, ""}, {"", false, ""},
        {"a b", true, "a b"}, {"x:y", false, "x:y"}, {" \\ ", false, " \\"},
    };
    for (const auto& c : cases) {
        std::string s = c.in;
        EXPECT_EQ(finishEntryName(s), c.ok) << c.in;
        EXPECT_EQ(s, c.out);
    }
}

TEST(FatDates, SplitJoinWeekdayAndText) {
    FatDateTime t = fatSplit(0x5A21, 0x6000 | 5 << 5 | 17);  // 2025-01-01 12:05:34
    EXPECT_EQ(t.year, 2025);
    EXPECT_EQ(t.month, 1);
    EXPECT_EQ(t.day, 1);
    EXPECT_EQ(t.hour, 12);
    EXPECT_EQ(t.minute, 5);
    EXPECT_EQ(t.second, 34);
    uint16_t d, tm;
    fatJoin(t, d, tm);
    EXPECT_EQ(d, 0x5A21);
    EXPECT_EQ(tm, 0x6000 | 5 << 5 | 17);
    EXPECT_EQ(fatText(d, tm), "2025-01-01 12:05:34");
    EXPECT_EQ(fatText(0, 0), "1980-00-00 00:00:00");
    struct W { int y, m, d, want; } days[] = {
        {2023, 1, 1, 0},    // a Sunday in January: previous year's rules
        {2024, 2, 29, 4},   // Thursday
        {2000, 3, 1, 3},    // Wednesday
        {1980, 1, 1, 2},    // Tuesday
        {2107, 12, 31, 6},  // Saturday
    };
    for (const auto& w : days) EXPECT_EQ(weekday(w.y, w.m, w.d), w.want) << w.y << "-" << w.m << "-" << w.d;
}

TEST(TextHelpers, ThousandsAttributesAndUtf16) {
    EXPECT_EQ(withThousands(1234567), "1,234,567");
    EXPECT_EQ(withThousands(0), "0");
    EXPECT_EQ(withThousands(999), "999");
    EXPECT_EQ(withThousands(1000), "1,000");
    EXPECT_EQ(attribText(0x27), "RHSA");
    EXPECT_EQ(attribText(0x20), "---A");
    EXPECT_EQ(attribText(0x01 | 0x04), "R-S-");
    std::string s = "a\xC3\xA9\xE3\x83\x86\xF0\x9F\x98\x80";
    std::u16string u = utf8ToUtf16(s);
    EXPECT_EQ(u, (std::u16string{u'a', 0xE9, 0x30C6, 0xD83D, 0xDE00}));
    EXPECT_EQ(utf16ToUtf8(u), s);
    EXPECT_EQ(utf16ToUtf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx");
    EXPECT_EQ(utf8ToUtf16("\xFF"), std::u16string{0xFFFD});
}
