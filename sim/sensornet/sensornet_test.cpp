// The simulator's answers as serlink's receiver sees them, and its reading of
// the transceiver's command frames.
#include "sensornet_model.h"

#include <gtest/gtest.h>

#include <ctime>

#include "serlink_frame.h"
#include "zrmsg.h"

using namespace sensornet;

namespace {

int receive(const std::string& bytes, std::string& stored) {
    ZrReceiver r;
    zr_rcv_init(r);
    int res = zr_rcv_feed(r, (const uint8_t*)bytes.data(), bytes.size(), nullptr);
    stored.assign((const char*)r.frame, r.len);
    return res;
}

Node node(const std::string& desc) {
    Node n;
    std::string err;
    EXPECT_TRUE(parse_node(desc, n, err)) << err;
    return n;
}

std::string reply(const std::vector<Node>& nodes, int cmd, char id, char leaf = '0') {
    uint8_t f[ZR_FRAME_MAX];
    struct tm t = {};
    int len = zr_build_frame(cmd, id, leaf, t, f, sizeof f);
    FrameReader rd;
    std::vector<Frame> frames;
    rd.feed(f, (size_t)len, frames);
    EXPECT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].bcc_ok);
    std::string all;
    for (auto& p : respond(nodes, frames[0], false)) all += p.bytes;
    return all;
}

TEST(Sensornet, AnswersWhereTheTransceiverReadsThem) {
    std::vector<Node> nodes = {node("3:types=10/00/20"), node("C:values=a/b/c/d/e/f/g,mark=00")};
    std::string stored;
    ASSERT_EQ(receive(reply(nodes, ZRCMD_SCANLEAVES, '3'), stored), 158);
    EXPECT_EQ(stored.substr(12, 2), "10");
    EXPECT_EQ(stored.substr(12 + 9, 2), "00");
    EXPECT_EQ(stored.substr(12 + 18, 2), "20");
    EXPECT_EQ(stored.substr(12 + 9 * 15, 2), "00");

    ASSERT_GT(receive(reply(nodes, ZRCMD_GET_VALUE, '3', '2'), stored), 0);
    EXPECT_EQ(stored.substr(29, 2), "20");
    EXPECT_EQ(stored.substr(31, 8), default_value('3', 2, 0));
    EXPECT_EQ(stored.substr(31 + 48, 8), default_value('3', 2, 6));
    EXPECT_EQ(default_value('3', 2, 6), "00030260");
    ASSERT_GT(receive(reply(nodes, ZRCMD_GET_VALUE, 'C', 'F'), stored), 0);
    EXPECT_EQ(stored.substr(29, 2), "00");
    EXPECT_EQ(stored.substr(31, 16), "a       b       ");

    EXPECT_GT(receive(reply(nodes, ZRCMD_CHKTYP20, 'C'), stored), 0);
    EXPECT_EQ(reply(nodes, ZRCMD_CHKTYP20, '5'), "") << "no such node";
    EXPECT_EQ(reply(nodes, ZRCMD_SET_TIME, 0), "") << "silent on the time broadcast";
}

TEST(Sensornet, FaultOptions) {
    struct { const char* desc; int result; } cases[] = {
        {"4:bcc=bad", ZRST_BCC},  {"4:bcc=lower", ZRST_BCC}, {"4:noise=9", 9},
        {"4:stx2", ZRST_BCC},     {"4:twice", 9},            {"4:nocr", ZR_RCV_MORE},
        {"4:silent", ZR_RCV_MORE}, {"4:nogp", ZR_RCV_MORE},  {"4:split=0", 9},
    };
    for (auto& c : cases) {
        std::string stored;
        EXPECT_EQ(receive(reply({node(c.desc)}, ZRCMD_CHKTYP20, '4'), stored), c.result) << c.desc;
    }
}

TEST(Sensornet, BadSpecs) {
    for (const char* desc : {"", "G", "a", "3x", "3:types=1", "3:values=1/2", "3:bcc=odd",
                             "3:noise=-1", "3:what", "3:mark=1"}) {
        Node n;
        std::string err;
        EXPECT_FALSE(parse_node(desc, n, err)) << desc;
        EXPECT_FALSE(err.empty());
    }
}

}  // namespace
