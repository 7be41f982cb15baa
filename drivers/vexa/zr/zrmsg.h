// zrmsg: the records that ZR1Communicator (the commander) and serlink (the
// transceiver) exchange over their two System V message queues, with the
// command and status codes and the few helpers both sides need.
//
// One definition serves both programs. The message type is the platform's
// `long` (4 bytes on the appliance, 8 on a 64-bit build host); what follows it,
// the record text, has one byte layout everywhere. The text is packed because
// its 32-bit fields are not aligned (seq of the request sits at text offset 6),
// and the static assertions at the end of the file prove the offsets for
// whatever target includes this header.
//
// Fields of a packed record must be read and written by value (no references
// or pointers to the int32 fields; in a gtest check write EXPECT_EQ(+a.status, 0)
// so the macro binds a copy); the accessors below work on byte offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#ifndef _WIN32
#include <sys/ipc.h>
#include <sys/msg.h>
#endif

// Default keys of [MSGQUE] key1 (request queue) and key2 (answer queue).
enum : int { ZR_MSGREQ_KEY_DEFAULT = 1000, ZR_MSGANS_KEY_DEFAULT = 2000 };

// Text lengths passed with every msgsnd/msgrcv.
enum : size_t { ZR_REQ_TEXT = 10, ZR_ANS_TEXT = 2962 };

// Transceiver command codes.
enum ZrCommand : int32_t {
    ZRCMD_GET_LEAVES = 1,      // leaf scan of nodes 0-15 (never sent by the commander)
    ZRCMD_GET_VALUE = 2,       // one value request (node, leaf)
    ZRCMD_SET_TIME = 3,        // time broadcast
    ZRCMD_SCANCH = 11,         // the scan cache: channel table, frames, check table
    ZRCMD_SCANLEAVES = 12,     // leaf scan of one node, renews its cache row and slot
    ZRCMD_CHKTYP20CH = 15,     // the check table from the cache
    ZRCMD_CHKTYP20 = 16,       // "GP" check of one node, renews its check entry
    ZRCMD_CLRCHKTYP20CH = 17,  // clears one node's check entry
    ZRCMD_HELLO = 97,
    ZRCMD_RESTART = 98,
    ZRCMD_STOP = 99,
};

// Status codes of an answer (signed 32-bit; -8 is the bytes F8 FF FF FF).
enum ZrStatus : int32_t {
    ZRST_OK = 0,
    ZRST_SELRECV = -1,  // reading the serial line failed
    ZRST_BCC = -2,      // check characters of the answer frame wrong
    ZRST_TIMEOUT = -3,  // the line stayed silent for a whole receive wait
    ZRST_ETC = -4,      // device opened but could not be set up
    ZRST_NOLEAF = -5,   // value mark "00"
    ZRST_SELOPEN = -6,  // device could not be opened
    ZRST_SELSEND = -7,  // command frame could not be written
    ZRST_CMDERR = -8,   // unknown command code (also: a node character that has no place)
};

// Check-table entries (result of chkTyp20 per node).
enum : int32_t { ZRCHK_NONE = 0, ZRCHK_ANSWERED = 1, ZRCHK_SILENT = 2, ZRCHK_FAILED = -1 };

enum : int { ZR_NODES = 16, ZR_CHANNELS = 16, ZR_SLOT = 158, ZR_VALUE_DATA = 80 };

#pragma pack(push, 1)

// Request: commander -> transceiver. The commander always sends type 1.
struct MsgRequest {
    long type;
    int32_t command;  // text offset 0
    char node;        // 4: node character '0'-'9', 'A'-'F'; '0' when unused
    char param;       // 5: leaf character of get_value; '0' otherwise
    int32_t seq;      // 6: request sequence number, copied back in the answer
};

// Answer: transceiver -> commander, one per request. Regions a command does not
// fill are zero bytes; no text field is terminated.
struct MsgAnswer {
    long type;                              // always 1
    int32_t status;                         // text offset 0: ZrStatus
    int32_t command;                        // 4
    char node;                              // 8
    char param;                             // 9
    char chtable[ZR_NODES][ZR_CHANNELS];    // 10: '1' channel present, '0' absent
    char frames[ZR_NODES][ZR_SLOT];         // 266: last leaf-scan frame per node
    char date[10];                          // 2794: "%04d-%02d-%02d"
    char time[8];                           // 2804: "%02d:%02d:%02d"
    char value[ZR_VALUE_DATA];              // 2812: value frame from its offset 31
    char valmark[2];                        // 2892: value frame at its offset 29
    char chktbl[ZR_NODES * 4];              // 2894: 16 x int32 (unaligned; use zr_chk)
    int32_t seq;                            // 2958
};

#pragma pack(pop)

// Text offset of a field: its offset in the record minus the message type.
#define ZR_TEXT_OFFSET(rec, field) (offsetof(rec, field) - sizeof(long))

static_assert(offsetof(MsgRequest, command) == sizeof(long), "request text follows the type");
static_assert(ZR_TEXT_OFFSET(MsgRequest, command) == 0);
static_assert(ZR_TEXT_OFFSET(MsgRequest, node) == 4);
static_assert(ZR_TEXT_OFFSET(MsgRequest, param) == 5);
static_assert(ZR_TEXT_OFFSET(MsgRequest, seq) == 6);
static_assert(sizeof(MsgRequest) == sizeof(long) + ZR_REQ_TEXT);

static_assert(offsetof(MsgAnswer, status) == sizeof(long), "answer text follows the type");
static_assert(ZR_TEXT_OFFSET(MsgAnswer, status) == 0);
static_assert(ZR_TEXT_OFFSET(MsgAnswer, command) == 4);
static_assert(ZR_TEXT_OFFSET(MsgAnswer, node) == 8);
static_assert(ZR_TEXT_OFFSET(MsgAnswer, param) == 9);
static_assert(ZR_TEXT_OFFSET(MsgAnswer, chtable) == 10);
static_assert(ZR_TEXT_OFFSET(MsgAnswer, frames) == 266);
static_assert(ZR_TEXT_OFFSET(MsgAnswer, date) == 2794);
static_assert(ZR_TEXT_OFFSET(MsgAnswer, time) == 2804);
static_assert(ZR_TEXT_OFFSET(MsgAnswer, value) == 2812);
static_assert(ZR_TEXT_OFFSET(MsgAnswer, valmark) == 2892);
static_assert(ZR_TEXT_OFFSET(MsgAnswer, chktbl) == 2894);
static_assert(ZR_TEXT_OFFSET(MsgAnswer, seq) == 2958);
static_assert(sizeof(MsgAnswer) == sizeof(long) + ZR_ANS_TEXT);
// On the 32-bit appliance the record offsets are the documented ones (type at 0).
static_assert(sizeof(long) != 4 || offsetof(MsgAnswer, chktbl) == 2898);
static_assert(sizeof(long) != 4 || offsetof(MsgAnswer, seq) == 2962);
static_assert(sizeof(long) != 4 || offsetof(MsgRequest, seq) == 10);

// ---- helpers shared by both sides -------------------------------------------

// A node character the tables have a place for: '0'-'9' or upper-case 'A'-'F'.
inline bool zr_node_valid(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// Node number 0-15 of a valid node character, -1 for any other character.
inline int zr_node_index(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The chkTyp20 entry of node n (0-15).
inline int32_t zr_chk(const MsgAnswer& a, int n) {
    int32_t v;
    std::memcpy(&v, a.chktbl + 4 * n, 4);
    return v;
}
inline void zr_set_chk(MsgAnswer& a, int n, int32_t v) { std::memcpy(a.chktbl + 4 * n, &v, 4); }

// The two terminal-type characters of channel k of node n in its scan frame
// (frame offset 12 + 9k).
inline const char* zr_termtype(const MsgAnswer& a, int n, int k) { return &a.frames[n][12 + 9 * k]; }

// Clears a request and fills it as the commander sends it (type 1).
inline void zr_make_request(MsgRequest& r, int32_t command, char node, char param, int32_t seq) {
    std::memset(&r, 0, sizeof r);
    r.type = 1;
    r.command = command;
    r.node = node;
    r.param = param;
    r.seq = seq;
}

// Clears an answer and fills its header from the request (type 1, status 0).
inline void zr_prepare_answer(MsgAnswer& a, const MsgRequest& r) {
    std::memset(&a, 0, sizeof a);
    a.type = 1;
    a.status = ZRST_OK;
    a.command = r.command;
    a.node = r.node;
    a.param = r.param;
    a.seq = r.seq;
}

// The commander's status word for an answer status (on its response line);
// nullptr for codes the commander does not map (-8 and anything unknown).
inline const char* zr_status_word(int32_t status) {
    switch (status) {
    case ZRST_OK: return "OK";
    case ZRST_SELRECV: return "ESELRECV";
    case ZRST_BCC: return "EBCC";
    case ZRST_TIMEOUT: return "ETIMEOUT";
    case ZRST_ETC: return "EETC";
    case ZRST_NOLEAF: return "ENOLEAF";
    case ZRST_SELOPEN: return "ESELOPEN";
    case ZRST_SELSEND: return "ESELSEND";
    default: return nullptr;
    }
}

#ifndef _WIN32
// Queue calls with the fixed text lengths. Each returns what msgsnd/msgrcv
// return (0 or the text length received; -1 with errno on failure).
inline int zr_send_request(int qid, const MsgRequest& r, int flags = 0) {
    return msgsnd(qid, &r, ZR_REQ_TEXT, flags);
}
inline ssize_t zr_recv_request(int qid, MsgRequest& r, int flags = 0) {
    return msgrcv(qid, &r, ZR_REQ_TEXT, 0, flags);
}
inline int zr_send_answer(int qid, const MsgAnswer& a, int flags = 0) {
    return msgsnd(qid, &a, ZR_ANS_TEXT, flags);
}
inline ssize_t zr_recv_answer(int qid, MsgAnswer& a, int flags = 0) {
    return msgrcv(qid, &a, ZR_ANS_TEXT, 0, flags);
}
#endif
