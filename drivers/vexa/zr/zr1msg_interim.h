// Interim record layout of the commander-transceiver queues, until the shared
// header of both programs is in this tree; names as the shared header has them.
#pragma once
#include <sys/ipc.h>
#include <sys/msg.h>
#include <cstddef>
#include <cstdint>
#include <cstring>

enum : size_t { ZR_REQ_TEXT = 10, ZR_ANS_TEXT = 2962 };
enum ZrCommand : int32_t {
    ZRCMD_GET_LEAVES = 1, ZRCMD_GET_VALUE = 2, ZRCMD_SET_TIME = 3, ZRCMD_SCANCH = 11,
    ZRCMD_SCANLEAVES = 12, ZRCMD_CHKTYP20CH = 15, ZRCMD_CHKTYP20 = 16, ZRCMD_CLRCHKTYP20CH = 17,
    ZRCMD_HELLO = 97, ZRCMD_RESTART = 98, ZRCMD_STOP = 99,
};
enum ZrStatus : int32_t {
    ZRST_OK = 0, ZRST_SELRECV = -1, ZRST_BCC = -2, ZRST_TIMEOUT = -3, ZRST_ETC = -4,
    ZRST_NOLEAF = -5, ZRST_SELOPEN = -6, ZRST_SELSEND = -7, ZRST_CMDERR = -8,
};
enum : int { ZR_NODES = 16, ZR_CHANNELS = 16, ZR_SLOT = 158, ZR_VALUE_DATA = 80 };

#pragma pack(push, 1)
struct MsgRequest {
    long type;
    int32_t command;
    char node;
    char param;
    int32_t seq;
};
struct MsgAnswer {
    long type;
    int32_t status;
    int32_t command;
    char node;
    char param;
    char chtable[ZR_NODES][ZR_CHANNELS];
    char frames[ZR_NODES][ZR_SLOT];
    char date[10];
    char time[8];
    char value[ZR_VALUE_DATA];
    char valmark[2];
    char chktbl[ZR_NODES * 4];
    int32_t seq;
};
#pragma pack(pop)
static_assert(sizeof(MsgAnswer) == sizeof(long) + ZR_ANS_TEXT);
static_assert(sizeof(MsgRequest) == sizeof(long) + ZR_REQ_TEXT);

inline int32_t zr_chk(const MsgAnswer& a, int n) {
    int32_t v;
    std::memcpy(&v, a.chktbl + 4 * n, 4);
    return v;
}
inline void zr_set_chk(MsgAnswer& a, int n, int32_t v) { std::memcpy(a.chktbl + 4 * n, &v, 4); }
inline const char* zr_termtype(const MsgAnswer& a, int n, int k) { return &a.frames[n][12 + 9 * k]; }
inline void zr_make_request(MsgRequest& r, int32_t command, char node, char param, int32_t seq) {
    std::memset(&r, 0, sizeof r);
    r.type = 1;
    r.command = command;
    r.node = node;
    r.param = param;
    r.seq = seq;
}
inline const char* zr_status_word(int32_t s) {
    static const char* const w[] = {"OK", "ESELRECV", "EBCC", "ETIMEOUT", "EETC", "ENOLEAF", "ESELOPEN", "ESELSEND"};
    return (s <= 0 && s >= -7) ? w[-s] : nullptr;
}
inline void zr_prepare_answer(MsgAnswer& a, const MsgRequest& r) {
    std::memset(&a, 0, sizeof a);
    a.type = 1;
    a.command = r.command;
    a.node = r.node;
    a.param = r.param;
    a.seq = r.seq;
}
inline ssize_t zr_recv_request(int qid, MsgRequest& r, int flags = 0) { return msgrcv(qid, &r, ZR_REQ_TEXT, 0, flags); }
inline int zr_send_answer(int qid, const MsgAnswer& a, int flags = 0) { return msgsnd(qid, &a, ZR_ANS_TEXT, flags); }
inline int zr_send_request(int qid, const MsgRequest& r, int flags = 0) { return msgsnd(qid, &r, ZR_REQ_TEXT, flags); }
inline ssize_t zr_recv_answer(int qid, MsgAnswer& a, int flags = 0) { return msgrcv(qid, &a, ZR_ANS_TEXT, 0, flags); }
