#include "hex.h"

#include <gtest/gtest.h>

TEST(Hex, DigitValues) {
    const struct { char c; int v; } cases[] = {
        {'0', 0}, {'9', 9}, {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15},
        {'g', 0}, {'G', 0}, {' ', 0}, {'\0', 0}, {(char)0xff, 0}, {'x', 0},
    };
    for (auto& k : cases) EXPECT_EQ(h2i(k.c), k.v) << "char " << (int)(unsigned char)k.c;
}

TEST(Hex, FieldsAreLowByteFirst) {
    EXPECT_EQ(hex_getuint("0A000000"), 10u);
    EXPECT_EQ(hex_getuint("00000100"), 65536u);
    EXPECT_EQ(hex_getuint("0000zz00"), 0u);
    EXPECT_EQ(hex_getuint("78563412"), 0x12345678u);
    EXPECT_EQ(hex_getuint("FFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(hex_getushort("0A01"), 266);
    EXPECT_EQ(hex_getushort("ffFF"), 0xFFFF);
}

TEST(Hex, ShortFieldStopsAtStringEnd) {
    // Bytes after the string end must not be read: they are set to digits here,
    // so reading them would change the result.
    char buf[9] = {'0', 'A', '\0', '1', '1', '1', '1', '1', '\0'};
    EXPECT_EQ(hex_getuint(buf), 10u);
    EXPECT_EQ(hex_getushort(buf), 10);
    char odd[9] = {'0', 'A', '1', '\0', 'F', 'F', 'F', 'F', '\0'};
    EXPECT_EQ(hex_getushort(odd), 0x100A);
}
