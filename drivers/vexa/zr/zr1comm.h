// zr1comm: the request side of ZR1Communicator, the commander of the RS-485
// sensor network. It recognises a request line, checks its parameters, turns it
// into transceiver commands and builds the response line from the answers.
//
// Everything here is pure: the commander's process (queues, semaphore, socket,
// signals) lives in zr1shell.cpp and reaches this code only through the
// transceiver interface declared at the end: the shell's message queues in the
// daemon, a fake transceiver in the unit tests, fuzz target and benchmark.
//
// Plain procedural code with process-wide globals, as in the rest of the
// appliance: every process of the commander has one request record, one answer
// record and one response buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "log.h"  // DRV_PRINTF
#include "zr1msg.h"

// ---- settings (ZR1Communicator.ini) -----------------------------------------
extern int PORT_NUMBER;   // [NETWORK] port
extern int MSGREQ_KEY;    // [MSGQUE] key1
extern int MSGANS_KEY;    // [MSGQUE] key2
extern int MSG_TIMEOUT;   // [MSGQUE] timeout, microseconds
extern int MAXNODES;      // [ZR11ACOMMAND] maxnodes
extern int SHMKEY231;     // [SHM] shmkey
extern char IFNAME[16];   // [DRVCOMMAND] ifname
constexpr int CMD1_TIMEOUT = 10000000;
constexpr int SpecMaxNodeID = 15;
constexpr int maxifs = 10;

extern const char* zr1IniPath;       // "/home/drivers/vexa/zr/ZR1Communicator.ini"
extern const char* zr1ErrorLogPath;  // "/home/drivers/vexa/zr/ZR1ERROR.log"

// Leaf-name prefix: the last three octets of IFNAME's hardware address.
extern char macaddrlo24[7];

// The answer of the last exchange (DoMsg fills it).
extern MsgAnswer recvbuf;

enum : int {
    ZR1_REQ_SIZE = 1024,    // a request is at most 1023 characters
    ZR1_RESP_SIZE = 46080,  // response buffer
    ZR1_TOKENS = 5,
    ZR1_TOKEN_SIZE = 20,
};

// Request status codes beyond the transceiver's (-1 ... -8).
enum : int { ST_EINVALIDKEY = -9, ST_EINVALIDTOQ = -10, ST_ENODEERR = -12 };

// ---- parameter records ------------------------------------------------------

// The check of one parameter value.
struct dtChkVal {
    const char* key = nullptr;      // with its "=", e.g. "node="
    const char* value = nullptr;    // the value found, nullptr when absent
    int keylen = 0;
    int tokidx = -1;                // token that carries the key, -1 when absent
    bool missing = false;
    bool mayAbsent = false;
    int minlen = 0, maxlen = 0;     // text check
    int number = 0;                 // number check
    int base = 10;
    int min = 0, max = 0;
    bool trailingOk = false;
    bool rangeChk = false;
    bool valid = false;
    const void* result = nullptr;   // to the value text, or to number
    const char* deflt = nullptr;    // used when the key is absent or its value empty
};

// The parsed request of get_value and rescan.
struct dtCmdParm {
    const char* request = nullptr;
    char tokens[ZR1_TOKENS][ZR1_TOKEN_SIZE] = {};
    int ntokens = 0;
    dtChkVal* lastChk = nullptr;
    dtChkVal* nodeChk = nullptr;
    dtChkVal* leafChk = nullptr;
    int status = 0;
    const char* cmdname = "";
    char* resp = nullptr;
    const char* nodech = nullptr;
    const int* xchg = nullptr;      // result of the last exchange
    char errval[9] = {};
};

// The toq of one get_value.
struct dtToq {
    const char* toq = nullptr;
    dtCmdParm* parm = nullptr;
    int* xmark = nullptr;           // -99 initially; 0: ask the transceiver
    int* status = nullptr;
    char value[20] = {};            // made-up reading
    char reading[9] = {};           // copy of the answer's field
};

// chkTyp20 result and channel, for the channel-1 rule of terminal type "20".
struct dtChkTyp20 {
    int chk = 0;
    int ch = 0;
    bool listed = false;
};

struct dtGetMsgTmo {
    int tmo = 0;
};

// ---- request side -----------------------------------------------------------

// Handles one request and writes its response line (with CR LF) through
// zr1_transceiver. 0 go on; 1 after a successful hup; 2 after a successful kill;
// -1 for an empty request (nothing written).
int DoCommand(const char* request);
// The response text of the last DoCommand, without its line end (for tests).
const char* zr1Response();

int Get_Leaves(const char* request, char* resp);
int Get_Value(const char* request, char* resp);
int Set_Time(const char* request, char* resp);
int Rescan(dtCmdParm& p);
int Hello(const char* request, char* resp);
int Hup(const char* request, char* resp);
int Kill(const char* request, char* resp);
void fullscan();
void chkTyp20Onscn(dtCmdParm& p);
int getMsgTmo(int command);

// Tokenising and value checks.
void prsCmd_data(dtCmdParm& p);
int chkCmdData921(dtCmdParm& p, const char* token, int index);
int find_cmd_data(const dtCmdParm& p, const dtChkVal& v);
int setCmdParmCmn1(dtChkVal& v, const dtCmdParm& p);
int setCmdParmStr(dtChkVal& v, const dtCmdParm& p);
int chkValCmn1(dtChkVal& v);
int chkValStr(dtChkVal& v);
int chkValInt(dtChkVal& v);
int strlen_vNull(const dtChkVal& v);

void hndlErrResp(dtCmdParm& p);

// Small helpers of the leaf names.
char convIntToStr0Z(int v);
uint16_t toInt16(const char* two);

// ---- configuration ----------------------------------------------------------

// Reads zr1IniPath into the settings (a missing file keeps the defaults and is
// logged), then checkIniInput.
void InitFileRead();
// The same from an open stream (tests, fuzzing); the stream must be seekable.
void InitFileReadFrom(FILE* fp);
void checkIniInput();
// Restores the built-in defaults (tests).
void zr1DefaultSettings();

// Six hex digits from an address text "XX:XX:XX:XX:XX:XX" (its octets 4-6) into
// out; "000000" when there is none or it is too short.
void zr1PrefixFromHwaddr(char out[7], const char* hwaddr);

// ---- error log --------------------------------------------------------------

// Replaces the error log's contents with one entry: the asctime line, then
// text "(" strerror(errno) ")\n". Keeps errno as it was.
void ErrorOut(const char* text);
// ErrorOut and perror with the same text, as every caller does.
void zr1Fail(const char* text);

// ---- the transceiver side --------------------------------------------------

// What the request side needs of the rest of the process: the exchange with the
// transceiver, the pauses around a type check and the connection. The shell puts
// the message queues in place (zr1shell.h); the unit tests, the fuzz target and
// the benchmark put a fake transceiver in memory (zr1_fake.h). So this core links
// on its own, and a test replaces the exchange by assignment, not at link time.
class Zr1Transceiver {
public:
    virtual ~Zr1Transceiver() = default;
    // One exchange (DoMsg): 0 with the answer in recvbuf, -1 no answer.
    virtual int exchange(long type, int command, char node, char param) = 0;
    // The 10 ms and 20 ms pauses around a type check.
    virtual void pause(int ms) = 0;
    // Writes one whole response line (line end included) to the connection.
    virtual void writeLine(const char* line, size_t n) = 0;
};
// The one in use; nothing is exchanged before a shell or a test has set it.
extern Zr1Transceiver* zr1_transceiver;
