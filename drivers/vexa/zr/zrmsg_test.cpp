// Byte layout of the commander-transceiver records and their helpers, checked on
// the bytes that really go through a System V queue.
#include "zrmsg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> text_of(const void* rec, size_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(rec) + sizeof(long);
    return {p, p + n};
}

TEST(ZrMsg, GetValueRequestBytes) {
    MsgRequest r;
    zr_make_request(r, ZRCMD_GET_VALUE, '3', '5', 7);
    EXPECT_EQ(r.type, 1);
    std::vector<uint8_t> want = {0x02, 0, 0, 0, 0x33, 0x35, 0x07, 0, 0, 0};
    EXPECT_EQ(text_of(&r, ZR_REQ_TEXT), want);
    long type;
    memcpy(&type, &r, sizeof type);
    EXPECT_EQ(type, 1);
}

TEST(ZrMsg, AnswerHeaderEchoesRequestAndClearsTheRest) {
    MsgRequest r;
    zr_make_request(r, 55, 'Q', 'z', -123456);
    MsgAnswer a;
    memset(&a, 0xAA, sizeof a);
    zr_prepare_answer(a, r);
    a.status = ZRST_CMDERR;
    std::vector<uint8_t> t = text_of(&a, ZR_ANS_TEXT);
    std::vector<uint8_t> head = {0xF8, 0xFF, 0xFF, 0xFF, 55, 0, 0, 0, 'Q', 'z'};
    EXPECT_EQ(std::vector<uint8_t>(t.begin(), t.begin() + 10), head);
    for (size_t i = 10; i < 2958; i++) ASSERT_EQ(t[i], 0) << "text offset " << i;
    int32_t seq;
    memcpy(&seq, t.data() + 2958, 4);
    EXPECT_EQ(seq, -123456);
}

TEST(ZrMsg, RegionAccessorsHitTheDocumentedOffsets) {
    MsgAnswer a;
    memset(&a, 0, sizeof a);
    zr_set_chk(a, 0, ZRCHK_FAILED);
    zr_set_chk(a, 15, ZRCHK_SILENT);
    a.chtable[3][7] = '1';
    a.frames[2][12 + 9 * 4] = '2';
    const uint8_t* t = reinterpret_cast<const uint8_t*>(&a) + sizeof(long);
    // Record offsets 2898, 2898 + 60, 14 + 16*3 + 7, 270 + 158*2 + 48 less the 4-byte type.
    EXPECT_EQ(t[2894], 0xFF);
    EXPECT_EQ(t[2894 + 60], 2);
    EXPECT_EQ(t[10 + 16 * 3 + 7], '1');
    EXPECT_EQ(t[266 + 158 * 2 + 48], '2');
    EXPECT_EQ(zr_chk(a, 0), -1);
    EXPECT_EQ(zr_chk(a, 15), 2);
    EXPECT_EQ(zr_termtype(a, 2, 4)[0], '2');
}

TEST(ZrMsg, NodeCharacters) {
    struct { char c; int n; } cases[] = {{'0', 0}, {'9', 9}, {'A', 10}, {'F', 15},
                                         {'a', -1}, {'G', -1}, {'*', -1}, {'\0', -1}, {'/', -1}};
    for (auto& c : cases) {
        EXPECT_EQ(zr_node_index(c.c), c.n) << c.c;
        EXPECT_EQ(zr_node_valid(c.c), c.n >= 0) << c.c;
    }
}

TEST(ZrMsg, StatusWords) {
    const char* want[] = {"OK", "ESELRECV", "EBCC", "ETIMEOUT", "EETC", "ENOLEAF", "ESELOPEN", "ESELSEND"};
    for (int s = 0; s >= -7; s--) EXPECT_STREQ(zr_status_word(s), want[-s]);
    EXPECT_EQ(zr_status_word(-8), nullptr);
    EXPECT_EQ(zr_status_word(1), nullptr);
}

#ifndef _WIN32
// Through a real queue: the receiver gets exactly the text lengths 10 and 2962.
TEST(ZrMsg, QueueRoundTripKeepsTextLengths) {
    int q = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    ASSERT_GE(q, 0);
    MsgRequest r;
    zr_make_request(r, ZRCMD_SCANLEAVES, 'C', '0', 0x01020304);
    ASSERT_EQ(zr_send_request(q, r), 0);
    MsgRequest got;
    memset(&got, 0, sizeof got);
    EXPECT_EQ(zr_recv_request(q, got, IPC_NOWAIT), (ssize_t)ZR_REQ_TEXT);
    EXPECT_EQ(memcmp(&got, &r, sizeof r), 0);

    MsgAnswer a;
    zr_prepare_answer(a, r);
    memcpy(a.value, "12345678", 8);
    zr_set_chk(a, 12, ZRCHK_ANSWERED);
    ASSERT_EQ(zr_send_answer(q, a), 0);
    MsgAnswer b;
    memset(&b, 0x55, sizeof b);
    EXPECT_EQ(zr_recv_answer(q, b, IPC_NOWAIT), (ssize_t)ZR_ANS_TEXT);
    EXPECT_EQ(memcmp(&a, &b, sizeof a), 0);
    EXPECT_EQ(+b.seq, 0x01020304);
    // A request receive with a 10-byte buffer refuses the large record.
    ASSERT_EQ(zr_send_answer(q, a), 0);
    errno = 0;
    EXPECT_EQ(zr_recv_request(q, got, IPC_NOWAIT), -1);
    EXPECT_EQ(errno, E2BIG);
    msgctl(q, IPC_RMID, nullptr);
}
#endif

}  // namespace
