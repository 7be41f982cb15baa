#include "drvq_core.h"

#include <gtest/gtest.h>

using namespace drvq;

TEST(DrvqResponse, Shapes) {
    const struct { const char* line; bool valid; const char* cmd; const char* status; const char* val; const char* time; } cases[] = {
        {"?cmd=hello&status=OK\n", true, "hello", "OK", "", ""},
        {"?cmd=get_value&status=OK&val=230.500000&time=2026-12-08_19:20:00\n", true, "get_value", "OK", "230.500000", "2026-12-08_19:20:00"},
        {"?cmd=get_value&status=OK&val=00012345&time=2026-12-08_19:20:00\r\n", true, "get_value", "OK", "00012345", "2026-12-08_19:20:00"},
        {"?cmd=get_leaves&status=OK&val=1_1,1_2\n", true, "get_leaves", "OK", "1_1,1_2", ""},
        {"?cmd=get_leaves&status=OK&val=\n", true, "get_leaves", "OK", "", ""},
        {"?cmd=get_value&status=ENOLEAF&val=3_9\n", true, "get_value", "ENOLEAF", "3_9", ""},
        {"?status=ENOCMD\n", true, "", "ENOCMD", "", ""},
        {"?cmd=get_value&status=EINVALNODERES\n", true, "get_value", "EINVALNODERES", "", ""},
        {"\r\n", false, "", "", "", ""},
        {"garbage", false, "", "", "", ""},
        {"?cmd=hello", false, "hello", "", "", ""},
    };
    for (auto& c : cases) {
        Response r = parseResponse(c.line);
        EXPECT_EQ(r.valid, c.valid) << c.line;
        EXPECT_EQ(r.cmd, c.cmd) << c.line;
        EXPECT_EQ(r.status, c.status) << c.line;
        EXPECT_EQ(r.val, c.val) << c.line;
        EXPECT_EQ(r.time, c.time) << c.line;
    }
}

TEST(DrvqRequests, PerDialect) {
    EXPECT_EQ(valueRequest(Dialect::Gatex1, "3", "2", "ipc"), "?cmd=get_value&node=3&leaf=2&toq=ipc");
    EXPECT_EQ(valueRequest(Dialect::Zr, "11000003", "2", "C0_2"),
              "?cmd=get_value&protocol=C0&node=11000003&leaf=2&toq=C0_2");
    EXPECT_EQ(leavesRequest(Dialect::Gatex1), "?cmd=get_leaves_ex");
    EXPECT_EQ(leavesRequest(Dialect::Zr), "?cmd=get_leaves");
    EXPECT_STREQ(lineEnd(Dialect::Zr), "\r\n");
    EXPECT_STREQ(lineEnd(Dialect::Gatex2), "\n");
}

TEST(DrvqLeaves, Gatex1KindsGiveTheirToqs) {
    auto r = expandLeaves(Dialect::Gatex1, "1_1_w2,3_2_w3\n");
    ASSERT_EQ(r.size(), 5u + 12u);
    EXPECT_EQ(r[0].leaf, "1_1");
    EXPECT_EQ(r[0].request, "?cmd=get_value&node=1&leaf=1&toq=ipc");
    EXPECT_EQ(r[1].toq, "v");
    EXPECT_EQ(r[5].leaf, "3_2");
    EXPECT_EQ(r[6].toq, "vrn");
    EXPECT_EQ(r.back().toq, "pf");
    EXPECT_TRUE(expandLeaves(Dialect::Gatex1, "\n").empty());
}

TEST(DrvqLeaves, Gatex2AndZrEntries) {
    auto g = expandLeaves(Dialect::Gatex2, "0A0B0C00000021D4_1:gw1:502,0A0B0C00000041D6_2:10.0.0.1:1502,short");
    ASSERT_EQ(g.size(), 2u);
    EXPECT_EQ(g[0].request, "?cmd=get_value&node=gw1:502&leaf=0A0B0C00000021D4_1&toq=D4_1");
    EXPECT_EQ(g[1].toq, "D6_2");
    EXPECT_EQ(g[1].request, "?cmd=get_value&node=10.0.0.1:1502&leaf=0A0B0C00000041D6_2&toq=D6_2");
    auto z = expandLeaves(Dialect::Zr, "12ABCD11000003C0_2,12ABCD20000001C4_1,12ABCD2000000");
    ASSERT_EQ(z.size(), 2u);
    EXPECT_EQ(z[0].request, "?cmd=get_value&protocol=C0&node=11000003&leaf=2&toq=C0_2");
    EXPECT_EQ(z[1].request, "?cmd=get_value&protocol=C0&node=20000001&leaf=1&toq=C4_1");
}

TEST(DrvqOutput, TableAndJson) {
    std::vector<Row> rows = {{"gatex1d", "1_1", "ipc", "123.45", "", "OK"},
                             {"ZR1Communicator", "12ABCD11000003C0_2", "C0_2", "00001234", "2026-12-08_10:00:00", "OK"}};
    std::string t = renderTable(rows);
    EXPECT_EQ(t.substr(0, t.find('\n')), "DRIVER           LEAF                TOQ   VALUE     TIME                 STATUS");
    EXPECT_NE(t.find("\ngatex1d          1_1                 ipc   123.45                         OK\n"), std::string::npos);
    EXPECT_EQ(rowsJson({{"d", "l\"", "t", "v", "", "E\x01"}}),
              "[{\"driver\":\"d\",\"leaf\":\"l\\\"\",\"toq\":\"t\",\"value\":\"v\",\"time\":\"\",\"status\":\"E\\u0001\"}]");
    EXPECT_EQ(explainStatus("OK"), "");
    EXPECT_EQ(explainStatus("ENOLEAF"), "the node has no such leaf");
    EXPECT_EQ(explainStatus("EWHATEVER"), "the daemon reported EWHATEVER");
}
