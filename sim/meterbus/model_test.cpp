// model: the simulator's answers must be what a meter sends, byte for byte, since
// the daemon's tests and benchmarks judge the daemon by them.
#include "model.h"

#include <gtest/gtest.h>

using meterbus::Bus;

static Bus bus(std::initializer_list<std::pair<const char*, const char*>> settings) {
    Bus b;
    std::string err;
    for (auto& s : settings) EXPECT_TRUE(b.apply(s.first, s.second, &err)) << err;
    return b;
}

TEST(MeterbusModel, CheckCodeAndRegisterText) {
    EXPECT_EQ(meterbus::regText(0x3039), "3930");
    EXPECT_EQ(meterbus::withCheck("%01$RD"), "%01$RD16\r");  // % ^ 0 ^ 1 ^ $ ^ R ^ D = 0x16
}

TEST(MeterbusModel, Answers) {
    Bus b = bus({{"meter", "2:1:1,2"}, {"meter", "5:2:1,3"}, {"reg32", "5:340=12345"}, {"meter", "7:2:1"},
                 {"silent", "7"}, {"meter", "8:2:1"}, {"error", "8:42"}, {"meter", "9:2:1"}, {"short", "9"},
                 {"error-reg", "2:148:61"}});
    struct Case {
        const char* frame;
        const char* prefix;  // the answer without its check code and CR; "" for silence
    } cases[] = {
        {"%05#RDD0012600129**\r", "%05$RDE8030000E6000000"},   // kind 2: 1000 and 230
        {"%02#RDD0012600129**\r", "%02$RD0100000001000000"},   // kind 1: 1 and 1
        {"%05#RDD0034000341**\r", "%05$RD39300000"},
        {"%05#RDD0024000241**\r", "%05$RDFFFFFFFF"},           // circuit 2 absent
        {"%02#RDD0014000143**\r", "%02$RDF0000000F2000000"},   // 240 and 242
        {"%02#RDD0024000243**\r", "%02$RDFFFFFFFFFFFFFFFF"},
        {"%02#RDD0014800148**\r", "%02!61"},
        {"%08#RDD0012000121**\r", "%08!42"},
        {"%05#RDD0010000199**\r", "%05!61"},                   // more than 27 registers
        {"%05#RDX0010000101**\r", "%05!41"},
        {"%07#RDD0012600129**\r", ""},
        {"%04#RDD0012600129**\r", ""},
        {"garbage\r", ""},
    };
    for (const Case& c : cases) {
        auto a = b.answer(c.frame);
        if (!*c.prefix) {
            EXPECT_FALSE(a.has_value()) << c.frame;
            continue;
        }
        ASSERT_TRUE(a.has_value()) << c.prefix;
        EXPECT_EQ(*a, meterbus::withCheck(c.prefix)) << c.frame;
    }
    EXPECT_EQ(*b.answer("%09#RDD0014000141**\r"), "%09$RDAC\r");
}

TEST(MeterbusModel, MalformedSettingsAreRefused) {
    Bus b;
    std::string err;
    const std::pair<const char*, const char*> bad[] = {
        {"meter", "100:2:1"}, {"meter", "1:3:1"}, {"meter", "1:2:32"}, {"meter", "x"},
        {"silent", "4"}, {"reg", "4:1=2"}, {"error", "4:4"}, {"bogus", "1"},
    };
    for (auto& s : bad) EXPECT_FALSE(b.apply(s.first, s.second, &err)) << s.first << " " << s.second;
    ASSERT_TRUE(b.apply("meter", "1:2", &err));
    EXPECT_FALSE(b.apply("error", "1:421", &err));
    EXPECT_TRUE(b.apply("remove", "1", &err));
    EXPECT_TRUE(b.meters().empty());
}
