// mewtocol: the exact frame bytes, answer classification at its length boundaries,
// and decoding that never reaches past the bytes received.
#include "mewtocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "hex.h"

TEST(Mewtocol, FrameBytes) {
    struct Case {
        std::string (*make)();
        const char* want;
    } cases[] = {
        {[] { char f[64]; pm_frame_read(f, sizeof f, 3, 120, 121); return std::string(f); }, "%03#RDD0012000121**\r"},
        {[] { char f[64]; pm_frame_read(f, sizeof f, 2, 122, 123); return std::string(f); }, "%02#RDD0012200123**\r"},
        {[] { char f[64]; pm_frame_read(f, sizeof f, 99, 3148, 3148); return std::string(f); }, "%99#RDD0314803148**\r"},
        {[] { char f[64]; pm_frame_ident(f, sizeof f, 7); return std::string(f); }, "%07#RDD0012600129**\r"},
        {[] { char f[64]; pm_frame_probe2(f, sizeof f, 5, 3); return std::string(f); }, "%05#RDD0034000341**\r"},
        {[] { char f[64]; pm_frame_probe2(f, sizeof f, 5, 31); return std::string(f); }, "%05#RDD0314003141**\r"},
        {[] { char f[64]; pm_frame_probe1(f, sizeof f, 12, 2); return std::string(f); }, "%12#RDD0024000243**\r"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.make(), c.want);
    char f[64];
    EXPECT_EQ(pm_frame_read(f, sizeof f, 3, 120, 121), 20);
}

TEST(Mewtocol, FrameNeverOverrunsItsBuffer) {
    char f[8];
    memset(f, 'x', sizeof f);
    pm_frame_read(f, 6, 1, 1, 2);
    EXPECT_STREQ(f, "%01#R");
    EXPECT_EQ(f[6], 'x');
}

TEST(Mewtocol, ExamineByMarkerAndLength) {
    struct Case {
        const char* text;
        PmAnswerKind kind;
        const char* code;   // error answers
        int datalen;        // data answers
    } cases[] = {
        {"%01$RD0A000000B5\n", PmAnswerKind::Data, "", 10},
        {"%01$RD\n", PmAnswerKind::Data, "", 0},
        {"%01$", PmAnswerKind::Data, "", 0},   // longer than 3: data, but nothing in it
        {"%01", PmAnswerKind::Invalid, "", 0}, // 3 characters are not enough
        {"%01!4212\n", PmAnswerKind::Error, "42", 0},
        {"%01!421", PmAnswerKind::Error, "42", 0},   // 7 characters: error
        {"%01!42", PmAnswerKind::Invalid, "", 0},    // 6: invalid
        {"%01#RD0000\n", PmAnswerKind::Invalid, "", 0},
        {"", PmAnswerKind::Invalid, "", 0},
        {"garbage line\n", PmAnswerKind::Invalid, "", 0},
    };
    for (const Case& c : cases) {
        PmAnswer a = pm_examine(c.text, (int)strlen(c.text));
        EXPECT_EQ(a.kind, c.kind) << c.text;
        if (c.kind == PmAnswerKind::Error) {
            EXPECT_STREQ(a.code, c.code) << c.text;
        }
        if (c.kind == PmAnswerKind::Data) {
            EXPECT_EQ(a.datalen, c.datalen) << c.text;
        }
    }
    EXPECT_EQ(pm_examine(nullptr, 5).kind, PmAnswerKind::Invalid);
    EXPECT_EQ(pm_examine("%01$RD00", -1).kind, PmAnswerKind::Invalid);  // a failed read
}

TEST(Mewtocol, DecodeLowWordAndLowByteFirst) {
    struct Case {
        const char* text;
        int nregs;
        bool ok;
        unsigned value;
    } cases[] = {
        {"%05$RD39300000XX\n", 2, true, 12345},      // 0x3039
        {"%05$RD0A01XX\n", 1, true, 266},
        {"%05$RD00000100XX\n", 2, true, 65536},
        {"%05$RDFFFFFFFFXX\n", 2, true, 4294967295u},
        {"%05$RD0000zz00\n", 2, true, 0},
        {"%05$RD393000\n", 2, false, 0},             // 7 register characters for 8
        {"%05$RD0A0\n", 1, false, 0},
        {"%05$RD0A01", 1, true, 266},                // exactly enough
        {"%05!4212\n", 1, false, 0},
    };
    for (const Case& c : cases) {
        unsigned v = 777;
        bool ok = pm_decode(pm_examine(c.text, (int)strlen(c.text)), c.nregs, &v);
        EXPECT_EQ(ok, c.ok) << c.text;
        EXPECT_EQ(v, c.ok ? c.value : 777u) << c.text;
    }
}

TEST(Mewtocol, HexHelpers) {
    EXPECT_EQ(hex_getuint("0A000000"), 10u);
    EXPECT_EQ(hex_getuint("00000100"), 65536u);
    EXPECT_EQ(hex_getuint("0000zz00"), 0u);
    EXPECT_EQ(hex_getushort("0A01"), 266);
    EXPECT_EQ(h2i('f'), 15);
    EXPECT_EQ(h2i('F'), 15);
    EXPECT_EQ(h2i('g'), 0);
}
