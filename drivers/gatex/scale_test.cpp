// scale: every column of the scaling table, and outputs that do not fit.
#include "scale.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Scale, DecimalPointInsertion) {
    struct Case {
        const char* digits;
        const char *d10, *d100, *d1000;
    } cases[] = {
        {"", "0.0", "0.00", "0.000"},
        {"5", "0.5", "0.05", "0.005"},
        {"42", "4.2", "0.42", "0.042"},
        {"123", "12.3", "1.23", "0.123"},
        {"1234", "123.4", "12.34", "1.234"},
        {"2301", "230.1", "23.01", "2.301"},
        {"4294967295", "429496729.5", "42949672.95", "4294967.295"},
        {"0", "0.0", "0.00", "0.000"},
        {"007", "00.7", "0.07", "0.007"},  // digits are taken as they stand,
    };
    for (const Case& c : cases) {
        char out[32];
        EXPECT_STREQ(div10(out, c.digits), c.d10) << c.digits;
        EXPECT_STREQ(div100(out, c.digits), c.d100) << c.digits;
        EXPECT_STREQ(div1000(out, c.digits), c.d1000) << c.digits;
    }
}

TEST(Scale, ByDivisor) {
    char out[32];
    EXPECT_STREQ(scale_by(out, sizeof out, "12345", 1000), "12.345");
    EXPECT_STREQ(scale_by(out, sizeof out, "12345", 100), "123.45");
    EXPECT_STREQ(scale_by(out, sizeof out, "12345", 10), "1234.5");
    EXPECT_STREQ(scale_by(out, sizeof out, "12345", 1), "12345");
}

TEST(Scale, OutputIsBoundedByItsBuffer) {
    char out[8];
    memset(out, 'x', sizeof out);
    div100(out, 5, "123456");
    EXPECT_STREQ(out, "1234");  // cut, still a string
    EXPECT_EQ(out[5], 'x');     // nothing written past the bound
    div10(out, 0, "1");         // no room at all: untouched
    EXPECT_EQ(out[5], 'x');
}
