// ifs: the name list and lookups over a given table, and the kernel query against
// the loopback interface that every test machine (and the rig) has.
#include "ifs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

static IfsEntry entry(const char* name, const char* hw) {
    IfsEntry e;
    memset(&e, 0, sizeof e);
    snprintf(e.name, sizeof e.name, "%s", name);
    snprintf(e.hwaddr, sizeof e.hwaddr, "%s", hw);
    return e;
}

TEST(Ifs, FormatsAddressUpperCaseInWireOrder) {
    const unsigned char b[6] = {0x00, 0x11, 0x22, 0xaa, 0xbb, 0xcc};
    char out[18];
    ifs_format_hwaddr(out, b);
    EXPECT_STREQ(out, "00:11:22:AA:BB:CC");
}

TEST(Ifs, NameListAndLookups) {
    ifs_set_table({entry("eth0", "00:11:22:AA:BB:CC"), entry("lo", "00:00:00:00:00:00")});
    EXPECT_STREQ(ifs_get_ifs(), "eth0,lo");
    struct Case {
        const char* name;
        const char* want;
    } cases[] = {
        {nullptr, "00:11:22:AA:BB:CC"},  // absent name means eth0
        {"", "00:11:22:AA:BB:CC"},
        {"lo", "00:00:00:00:00:00"},
        {"LO", nullptr},  // exact match only
        {"eth", nullptr},
        {"wlan0", nullptr},
        {"eth0xxxxxxxxxxxxxxxxxxxx", nullptr},  // longer than 15 matches nothing
    };
    for (const Case& c : cases) {
        const char* got = ifs_get_hwaddr(c.name);
        if (!c.want)
            EXPECT_EQ(got, nullptr) << (c.name ? c.name : "(null)");
        else
            EXPECT_STREQ(got, c.want) << (c.name ? c.name : "(null)");
    }
}

TEST(Ifs, EmptyTableGivesEmptyList) {
    ifs_set_table({});
    EXPECT_STREQ(ifs_get_ifs(), "");
    EXPECT_EQ(ifs_get_hwaddr(nullptr), nullptr);
}

#ifndef _WIN32
TEST(Ifs, KernelListsLoopbackWithZeroAddress) {
    ifs_init(10);
    std::string names = ifs_get_ifs();
    ASSERT_NE(("," + names + ",").find(",lo,"), std::string::npos) << names;
    EXPECT_STREQ(ifs_get_hwaddr("lo"), "00:00:00:00:00:00");
    ifs_init(1);
    EXPECT_EQ(std::string(ifs_get_ifs()).find(','), std::string::npos);
    ifs_init(0);
    EXPECT_STREQ(ifs_get_ifs(), "");
}
#endif
