// zr1comm: request dispatch, parameter checks, leaf names, readings and error
// responses of ZR1Communicator (see zr1comm.h).
#include "zr1comm.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

MsgAnswer recvbuf;
Zr1Transceiver* zr1_transceiver = nullptr;
char macaddrlo24[7] = "000000";

static char respbuf[ZR1_RESP_SIZE];

// Tracing is off in the shipped daemon; every trace text passes through here.
static void dbgPrintf119(const char* fmt, ...) { (void)fmt; }

// Bounded append to a response buffer of ZR1_RESP_SIZE bytes.
static void respcat(char* resp, const char* text) {
    size_t have = strnlen(resp, ZR1_RESP_SIZE - 1);
    size_t room = ZR1_RESP_SIZE - 1 - have;
    size_t n = strnlen(text, room);
    memcpy(resp + have, text, n);
    resp[have + n] = '\0';
}

static void respset(char* resp, const char* fmt, ...) DRV_PRINTF(2, 3);
static void respset(char* resp, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(resp, ZR1_RESP_SIZE, fmt, ap);
    va_end(ap);
}

// Appends at most n characters of a fixed-width field, stopping at a NUL.
static void respcatn(char* resp, const char* field, size_t n) {
    char tmp[96];
    if (n >= sizeof tmp) n = sizeof tmp - 1;
    size_t len = strnlen(field, n);
    memcpy(tmp, field, len);
    tmp[len] = '\0';
    respcat(resp, tmp);
}

char convIntToStr0Z(int v) { return v < 10 ? char('0' + v) : char('A' + (v - 10)); }

uint16_t toInt16(const char* two) {
    return uint16_t((uint8_t(two[0]) << 8) | uint8_t(two[1]));
}

// ============================================================================
// Tokenising and value checks
// ============================================================================

int chkCmdData921(dtCmdParm& p, const char* token, int index) {
    if (index < ZR1_TOKENS && strlen(token) < ZR1_TOKEN_SIZE) return 1;
    p.status = ST_EINVALIDKEY;
    return 0;
}

void prsCmd_data(dtCmdParm& p) {
    char buf[ZR1_REQ_SIZE] = {};
    snprintf(buf, sizeof buf, "%s", p.request ? p.request : "");
    size_t n = strlen(buf);
    // A request ending in CR LF or LF alone loses its line end.
    if (n >= 2 && buf[n - 2] == '\r') buf[n - 2] = '\0';
    if (n >= 1 && buf[n - 1] == '\n') buf[n - 1] = '\0';
    p.ntokens = 0;
    char* save = nullptr;
    int i = 0;
    for (char* tok = strtok_r(buf, "&", &save); tok; tok = strtok_r(nullptr, "&", &save), i++) {
        if (!chkCmdData921(p, tok, i)) break;
        memcpy(p.tokens[i], tok, strlen(tok) + 1);
        p.ntokens = i + 1;
    }
}

int find_cmd_data(const dtCmdParm& p, const dtChkVal& v) {
    for (int i = 0; i < p.ntokens; i++)
        if (strncmp(p.tokens[i], v.key, size_t(v.keylen)) == 0) return i;
    return -1;
}

int setCmdParmCmn1(dtChkVal& v, const dtCmdParm& p) {
    v.keylen = int(strlen(v.key));
    v.tokidx = find_cmd_data(p, v);
    v.value = v.deflt;
    if (v.tokidx >= 0 && p.tokens[v.tokidx][v.keylen] != '\0') v.value = &p.tokens[v.tokidx][v.keylen];
    return v.tokidx;
}

int strlen_vNull(const dtChkVal& v) { return v.value ? int(strlen(v.value)) : 0; }

int chkValCmn1(dtChkVal& v) {
    v.missing = v.value == nullptr;
    v.valid = !v.missing || v.mayAbsent;
    return v.valid;
}

int chkValStr(dtChkVal& v) {
    if (!chkValCmn1(v)) return v.valid = false;
    if (v.missing) return v.valid = true;
    int len = strlen_vNull(v);
    v.valid = v.minlen <= len && len <= v.maxlen;
    return v.valid;
}

int setCmdParmStr(dtChkVal& v, const dtCmdParm& p) {
    setCmdParmCmn1(v, p);
    int r = chkValStr(v);
    v.result = v.value;
    return r;
}

int chkValInt(dtChkVal& v) {
    if (!chkValCmn1(v)) return v.valid = false;
    if (v.missing) return v.valid = true;  // absent and allowed: nothing to parse
    char* end = nullptr;
    errno = 0;
    long n = strtol(v.value, &end, v.base);
    // The number must fit an int as it is: a long that is cut to int (or that
    // strtol saturated) would pass the range check with the wrong value.
    bool fits = errno != ERANGE && n >= INT_MIN && n <= INT_MAX;
    v.number = fits ? int(n) : (n < 0 ? INT_MIN : INT_MAX);
    v.result = &v.number;
    v.valid = true;
    if (*end != '\0' && !v.trailingOk) v.valid = false;
    if (v.valid && v.rangeChk) v.valid = fits && v.min <= n && n <= v.max;
    return v.valid;
}

// ============================================================================
// Error responses
// ============================================================================

void hndlErrResp(dtCmdParm& p) {
    const char* word = nullptr;
    switch (p.status) {
    case ST_ENODEERR:
        respset(p.resp, "?cmd=get_value&status=ENODEERR&val=%s", p.errval);
        return;
    case ST_EINVALIDKEY: word = "EINVALIDKEY"; break;
    case ST_EINVALIDTOQ: word = "EINVALIDTOQ"; break;
    case ZRST_SELRECV:
    case ZRST_BCC:
    case ZRST_TIMEOUT:
    case ZRST_ETC:
    case ZRST_NOLEAF:
    case ZRST_SELOPEN:
    case ZRST_SELSEND: word = zr_status_word(p.status); break;
    default: return;  // 0, -8, -11, positive: the handler's own response
    }
    respset(p.resp, "?cmd=%s&status=%s", p.cmdname, word);
}

// ============================================================================
// get_leaves
// ============================================================================

// One channel as the leaf writers see it.
struct dtChnl {
    int node;
    int ch;
    int chk;
    char* resp;
    bool* none;
};

// hndlcktp20661: is channel 0 listed? Only for a node that answered the check.
static bool t_hndlcktp20661() { return true; }
static bool f_hndlcktp20661() { return false; }
static bool d_hndlcktp20661() { return false; }
static bool u_hndlcktp20661() { return false; }
static bool df_hndlcktp20661() { return false; }
static bool hndlcktp20661(int chk, int ch) {
    if (ch != 0) return true;
    switch (chk) {
    case 1: return t_hndlcktp20661();
    case 2: return f_hndlcktp20661();
    case 0: return d_hndlcktp20661();
    case -1: return u_hndlcktp20661();
    default: return df_hndlcktp20661();
    }
}

// hndlcktp20302: the node code of the entries.
static const char* t_hndlcktp20302() { return "20"; }
static const char* f_hndlcktp20302() { return "11"; }
static const char* df_hndlcktp20302() { return "00"; }
static const char* hndlcktp20302(int chk) {
    switch (chk) {
    case 1: return t_hndlcktp20302();
    case 2: return f_hndlcktp20302();
    default: return df_hndlcktp20302();  // 0, -1 and anything else
    }
}

// hndlcktp20153: the channel character; a ZR20A node counts its channels from 1.
static int t_hndlcktp20153(int ch) { return ch + 1; }
static int df_hndlcktp20153(int ch) { return ch; }
static char hndlcktp20153(int chk, int ch) {
    return convIntToStr0Z(chk == 1 ? t_hndlcktp20153(ch) : df_hndlcktp20153(ch));
}

// hndlchktyp20145: channel 1 of a type-"20" terminal is not listed on a ZR20A node.
static void t_hndlchktyp20145(dtChkTyp20& c) { c.listed = c.ch != 1; }
static void df_hndlchktyp20145(dtChkTyp20& c) { c.listed = true; }
static bool hndlchktyp20145(dtChkTyp20& c) {
    if (c.chk == 1)
        t_hndlchktyp20145(c);
    else
        df_hndlchktyp20145(c);
    return c.listed;
}

static void senidtermtyp2w(int typno, const dtChnl& r) {
    char entry[32];
    snprintf(entry, sizeof entry, "%.6s%s%06XC%c_%c,", macaddrlo24, hndlcktp20302(r.chk), unsigned(r.node),
             char('0' + typno), hndlcktp20153(r.chk, r.ch));
    respcat(r.resp, entry);
    *r.none = false;
}

static void senidtermtyp3w(int typno, const dtChnl& r) {
    dtChkTyp20 c;
    c.chk = r.chk;
    c.ch = r.ch;
    if (hndlchktyp20145(c)) senidtermtyp2w(typno, r);
}

static void termtyp10(const dtChnl& r) {
    for (int typno : {0, 1, 2, 3, 6}) senidtermtyp2w(typno, r);
}
static void termtyp20(const dtChnl& r) {
    for (int typno : {0, 1, 2, 4, 5, 7, 8}) senidtermtyp3w(typno, r);
}
static void termtyp00(const dtChnl&) {}
static void termtypdef(const dtChnl&) {}

void setSensorIdlst(int n, int k, char* resp, bool* none) {
    dtChnl r{n, k, zr_chk(recvbuf, n), resp, none};
    if (!hndlcktp20661(r.chk, k)) return;
    switch (toInt16(zr_termtype(recvbuf, n, k))) {
    case 12592: termtyp10(r); break;  // "10"
    case 12848: termtyp20(r); break;  // "20"
    case 12336: termtyp00(r); break;  // "00"
    default: termtypdef(r); break;
    }
}

int Get_Leaves(const char*, char* resp) {
    static const char ok[] = "?cmd=get_leaves&status=OK&val=";
    respset(resp, "%s", ok);
    bool none = true;
    if (zr1_transceiver->exchange(1, ZRCMD_SCANCH, '0', '0') == -1) {
        respset(resp, "?cmd=get_leaves&status=EMSGTIMEOUT");
        return 0;
    }
    for (int n = 0; n < ZR_NODES; n++)
        for (int k = 0; k < ZR_CHANNELS; k++)
            if (recvbuf.chtable[n][k] == '1') setSensorIdlst(n, k, resp, &none);
    size_t len = strlen(resp);
    if (len) resp[len - 1] = '\0';
    if (none) respset(resp, "%s", ok);
    return 0;
}

// ============================================================================
// get_value
// ============================================================================

// Node rule (hndlsidty741): node number 0-15 in base 16 for the real codes.
static void cmn_hndlsidty741(dtChkVal& num, dtCmdParm& p) {
    num.base = 16;
    num.min = 0;
    num.max = 15;
    num.rangeChk = true;
    num.trailingOk = false;
    if (!chkValInt(num)) p.status = ST_EINVALIDKEY;
}
static void t1_hndlsidty741(dtChkVal& num, dtCmdParm& p) { cmn_hndlsidty741(num, p); }
static void t2_hndlsidty741(dtChkVal& num, dtCmdParm& p) { cmn_hndlsidty741(num, p); }
static void d_hndlsidty741(dtChkVal& num, dtCmdParm& p) { cmn_hndlsidty741(num, p); }
static void m_hndlsidty741(dtChkVal&, dtCmdParm&) {}
static void null_hndlsidty741(dtChkVal&, dtCmdParm&) {}
static void df_hndlsidty741(dtChkVal&, dtCmdParm& p) { p.status = ST_EINVALIDKEY; }

void hndlsidty741(const char* code, dtChkVal& num, dtCmdParm& p) {
    if (strcmp(code, "11") == 0) t1_hndlsidty741(num, p);
    else if (strcmp(code, "20") == 0) t2_hndlsidty741(num, p);
    else if (strcmp(code, "00") == 0) d_hndlsidty741(num, p);
    else if (code[0] == 'R') m_hndlsidty741(num, p);
    else if (code[0] == '\0') null_hndlsidty741(num, p);
    else df_hndlsidty741(num, p);
}

// Leaf rule (hndlsidty550): base 36, 0-15, or 1-7 on a ZR20A node.
static void leafrange(dtChkVal& leaf, dtCmdParm& p, int lo, int hi) {
    leaf.base = 36;
    leaf.min = lo;
    leaf.max = hi;
    leaf.rangeChk = true;
    leaf.trailingOk = false;
    if (!chkValInt(leaf)) p.status = ST_EINVALIDKEY;
}
static void t1_hndlsidty550(dtChkVal& leaf, dtCmdParm& p) { leafrange(leaf, p, 0, 15); }
static void t2_hndlsidty550(dtChkVal& leaf, dtCmdParm& p) { leafrange(leaf, p, 1, 7); }
static void d_hndlsidty550(dtChkVal& leaf, dtCmdParm& p) { leafrange(leaf, p, 0, 15); }
static void none_hndlsidty550(dtChkVal&, dtCmdParm&) {}  // m_, null_, df_

void hndlsidty550(const char* code, dtChkVal& leaf, dtCmdParm& p) {
    if (strcmp(code, "11") == 0) t1_hndlsidty550(leaf, p);
    else if (strcmp(code, "20") == 0) t2_hndlsidty550(leaf, p);
    else if (strcmp(code, "00") == 0) d_hndlsidty550(leaf, p);
    else none_hndlsidty550(leaf, p);
}

// The nine quantities: toq prefix, field offset in the value data, and which
// value marks they fit (family of the value-mark check).
enum MarkCheck { MARK_10_20 = 1, MARK_10 = 2, MARK_20 = 3 };
struct Quantity {
    const char* prefix;
    const char* name;
    int field;  // offset in MsgAnswer::value
    MarkCheck mark;
};
static const Quantity kQuantities[9] = {
    {"C0_", "kWh", 0, MARK_10_20}, {"C1_", "ip", 8, MARK_10_20}, {"C2_", "pf", 16, MARK_10_20},
    {"C3_", "v", 24, MARK_10},     {"C4_", "v1", 24, MARK_20},   {"C5_", "v3", 40, MARK_20},
    {"C6_", "c", 32, MARK_10},     {"C7_", "c1", 32, MARK_20},   {"C8_", "c3", 48, MARK_20},
};

// typno of a toq, -1 without a known prefix.
static int toqTypno(const char* toq) {
    if (!toq) return -1;
    for (int i = 0; i < 9; i++)
        if (strncmp(toq, kQuantities[i].prefix, 3) == 0) return i;
    return -1;
}

// Made-up reading of a test node: C0 the time of day, the others random.
static void Dummy4264(dtToq& t, int typno, char* resp) {
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    srandom(unsigned(time(nullptr)));
    long r = random();
    switch (typno) {
    case 0: snprintf(t.value, sizeof t.value, "0%02d%02d.%02d", lt.tm_hour, lt.tm_min, lt.tm_sec); break;
    case 2: snprintf(t.value, sizeof t.value, "% 8d", int(r % 100)); break;
    case 3:
    case 4:
    case 5: snprintf(t.value, sizeof t.value, "% 8d", int(r % 10000)); break;
    default: snprintf(t.value, sizeof t.value, "% 8.3f", double(r % 10000) / 100.0); break;
    }
    respset(resp, "?cmd=get_value&status=OK&val=%s&time=%d-%02d-%02d_%02d:%02d:%02d", t.value,
            lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec);
}

// hndlToq9325, before the exchange: a test node gets its made-up response,
// anything else is to be asked; a toq without a known prefix is refused.
static void hndlToq9325(dtToq& t, bool testNode) {
    int typno = toqTypno(t.toq);
    if (typno < 0) {  // null_ / df_
        *t.xmark = -99;
        *t.status = ST_EINVALIDTOQ;
        return;
    }
    if (testNode) {
        Dummy4264(t, typno, t.parm->resp);
        *t.xmark = -99;
    } else {
        *t.xmark = 0;
    }
}

// The error-value check of a reading: a field that begins with "E" is the
// node's own error report.
static void hndlCmd0Dt(dtToq& t) {
    if (t.reading[0] == 'E') {
        memcpy(t.parm->errval, t.reading, 4);
        t.parm->errval[4] = '\0';
        *t.status = ST_ENODEERR;
    }
}

// hndlToq1135, after an answer with status 0: the quantity's field.
static void hndlToq1135(dtToq& t) {
    int typno = toqTypno(t.toq);
    if (typno < 0) return;
    size_t n = strnlen(recvbuf.value + kQuantities[typno].field, 8);
    memcpy(t.reading, recvbuf.value + kQuantities[typno].field, n);
    t.reading[n] = '\0';
    respcat(t.parm->resp, t.reading);
    hndlCmd0Dt(t);
}

// Value-mark checks: c10_ / c20_ / df_ by the mark.
static bool cmn1_hndlToq2930(uint16_t mark) { return mark == 12592 || mark == 12848; }
static bool cmn2_hndltmtyp2930(uint16_t mark) { return mark == 12592; }
static bool cmn3_hndlToq2930(uint16_t mark) { return mark == 12848; }

static void hndlToq2930(dtToq& t) {
    int typno = toqTypno(t.toq);
    if (typno < 0) {
        *t.status = ST_EINVALIDTOQ;
        return;
    }
    uint16_t mark = toInt16(recvbuf.valmark);
    bool ok = false;
    switch (kQuantities[typno].mark) {
    case MARK_10_20: ok = cmn1_hndlToq2930(mark); break;
    case MARK_10: ok = cmn2_hndltmtyp2930(mark); break;
    case MARK_20: ok = cmn3_hndlToq2930(mark); break;
    }
    if (!ok) *t.status = ST_EINVALIDTOQ;
}

// The value of a positional token: the text after its first "=" up to the next.
static const char* posValue(const char* token, char* copy, size_t cap) {
    snprintf(copy, cap, "%s", token);
    char* save = nullptr;
    if (!strtok_r(copy, "=", &save)) return nullptr;
    return strtok_r(nullptr, "=", &save);
}

int Get_Value(const char* request, char* resp) {
    resp[0] = '\0';
    dtCmdParm p;
    p.request = request;
    p.cmdname = "get_value";
    p.resp = resp;
    int xmark = -99;
    int xchg = 0;
    p.xchg = &xchg;
    dtChkVal nodeChk, numChk, leafChk;
    p.nodeChk = &nodeChk;
    p.leafChk = &leafChk;
    char nodecopy[ZR1_TOKEN_SIZE], leafcopy[ZR1_TOKEN_SIZE], toqcopy[ZR1_TOKEN_SIZE];
    char code[3] = {}, numtxt[7] = {};
    char nodech = '0', leafch = '0';
    bool testNode = false;
    dtToq t;

    prsCmd_data(p);
    if (p.status) goto done;
    if (p.ntokens != 5 || strncmp(p.tokens[1], "protocol=C0", 11) != 0 || strncmp(p.tokens[2], "node=", 5) != 0) {
        p.status = ST_EINVALIDKEY;
        goto done;
    }
    nodeChk.key = "node=";
    nodeChk.value = posValue(p.tokens[2], nodecopy, sizeof nodecopy);
    nodeChk.minlen = nodeChk.maxlen = 8;
    if (!chkValStr(nodeChk)) {
        p.status = ST_EINVALIDKEY;
        goto done;
    }
    memcpy(code, nodeChk.value, 2);
    memcpy(numtxt, nodeChk.value + 2, 6);
    numChk.value = numtxt;
    hndlsidty741(code, numChk, p);
    if (p.status) goto done;
    testNode = code[0] == 'R' && strcmp(code, "11") && strcmp(code, "20") && strcmp(code, "00");
    if (!testNode) nodech = convIntToStr0Z(numChk.number);

    if (strncmp(p.tokens[3], "leaf=", 5) != 0) {
        p.status = ST_EINVALIDKEY;
        goto done;
    }
    leafChk.key = "leaf=";
    leafChk.value = posValue(p.tokens[3], leafcopy, sizeof leafcopy);
    hndlsidty550(code, leafChk, p);
    if (p.status) goto done;
    if (!testNode) leafch = convIntToStr0Z(strcmp(code, "20") == 0 ? leafChk.number - 1 : leafChk.number);

    if (strncmp(p.tokens[4], "toq=", 4) != 0) {
        p.status = ST_EINVALIDKEY;
        goto done;
    }
    t.toq = posValue(p.tokens[4], toqcopy, sizeof toqcopy);
    t.parm = &p;
    t.xmark = &xmark;
    t.status = &p.status;
    if (!t.toq || !*t.toq) {
        p.status = ST_EINVALIDKEY;
        goto done;
    }
    hndlToq9325(t, testNode);
    dbgPrintf119("get_value node=%c leaf=%c toq=%s\n", nodech, leafch, t.toq);

    if (xmark == 0) {
        xchg = zr1_transceiver->exchange(1, ZRCMD_GET_VALUE, nodech, leafch);
        if (xchg == -1) {
            respset(resp, "?cmd=get_value&status=EMSGTIMEOUT");
            return 0;
        }
        p.status = recvbuf.status;
        respset(resp, "?cmd=get_value&status=OK&val=");
        if (p.status == 0) {
            hndlToq1135(t);
            if (p.status == 0) {
                respcat(resp, "&time=");
                respcatn(resp, recvbuf.date, sizeof recvbuf.date);
                respcat(resp, "_");
                respcatn(resp, recvbuf.time, sizeof recvbuf.time);
                hndlToq2930(t);
            }
        }
    }
done:
    hndlErrResp(p);
    return 0;
}

// ============================================================================
// set_time, rescan, hello, hup, kill
// ============================================================================

int getMsgTmo(int command) {
    dtGetMsgTmo r;
    switch (command) {
    case ZRCMD_GET_LEAVES: r.tmo = CMD1_TIMEOUT; break;  // cmd1_
    case ZRCMD_SCANLEAVES: r.tmo = MSG_TIMEOUT; break;   // cmd12_
    default: r.tmo = MSG_TIMEOUT; break;                 // df_
    }
    return r.tmo;
}

int Set_Time(const char*, char* resp) {
    if (zr1_transceiver->exchange(1, ZRCMD_SET_TIME, '0', '0') == -1)
        respset(resp, "?cmd=set_time&status=EMSGTIMEOUT");
    else
        respset(resp, "?cmd=set_time&status=OK");
    return 0;
}

// hello, hup, kill: one exchange, the answer's status is not looked at.
static int control(int command, const char* name, char* resp, int onAnswer) {
    if (zr1_transceiver->exchange(1, command, '0', '0') == -1) {
        respset(resp, "?cmd=%s&status=EMSGTIMEOUT", name);
        return 0;
    }
    respset(resp, "?cmd=%s&status=OK", name);
    return onAnswer;
}
int Hello(const char*, char* resp) { return control(ZRCMD_HELLO, "hello", resp, 0); }
int Hup(const char*, char* resp) { return control(ZRCMD_RESTART, "hup", resp, 1); }
int Kill(const char*, char* resp) { return control(ZRCMD_STOP, "kill", resp, 2); }

void chkTyp20Onscn(dtCmdParm& p) {
    if (*p.xchg != -1 && recvbuf.status == 0) {
        zr1_transceiver->pause(10);
        zr1_transceiver->exchange(1, ZRCMD_CHKTYP20, *p.nodech, '0');
    }
    zr1_transceiver->pause(20);
}

void fullscan() {
    for (int i = 0; i <= MAXNODES; i++) {
        char nodech = convIntToStr0Z(i);
        char hex[12];
        snprintf(hex, sizeof hex, "%X", unsigned(i));
        zr1_transceiver->exchange(1, ZRCMD_CLRCHKTYP20CH, nodech, '0');
        int r = zr1_transceiver->exchange(1, ZRCMD_SCANLEAVES, hex[0], '0');
        dtCmdParm p;
        p.nodech = &nodech;
        p.xchg = &r;
        chkTyp20Onscn(p);
    }
}

int Rescan(dtCmdParm& p) {
    p.resp[0] = '\0';
    p.cmdname = "rescan";
    dtChkVal node;
    node.key = "node=";
    node.minlen = node.maxlen = 1;
    p.lastChk = &node;
    prsCmd_data(p);
    if (p.status == 0) {
        setCmdParmStr(node, p);
        if (node.tokidx < 0) {
            fullscan();
        } else if (!node.valid || strlen_vNull(node) != 1) {
            p.status = ST_EINVALIDKEY;
        } else {
            char nodech = node.value[0];
            int r = 0;
            p.nodech = &nodech;
            p.xchg = &r;
            zr1_transceiver->exchange(1, ZRCMD_CLRCHKTYP20CH, nodech, '0');
            r = zr1_transceiver->exchange(1, ZRCMD_SCANLEAVES, nodech, '0');
            if (r == -1) {
                respset(p.resp, "?cmd=rescan&status=EMSGTIMEOUT");
                return 0;
            }
            p.status = recvbuf.status;
            chkTyp20Onscn(p);
        }
    }
    respset(p.resp, "?cmd=rescan&status=OK");
    hndlErrResp(p);
    return 0;
}

static int RescanEntry(const char* request, char* resp) {
    dtCmdParm p;
    p.request = request;
    p.resp = resp;
    return Rescan(p);
}

// ============================================================================
// Dispatch
// ============================================================================

struct Command {
    const char* prefix;
    int (*handler)(const char* request, char* resp);
};
static const Command kCommands[] = {
    {"?cmd=get_leaves", Get_Leaves}, {"?cmd=get_value", Get_Value}, {"?cmd=set_time", Set_Time},
    {"?cmd=rescan", RescanEntry},    {"?cmd=hello", Hello},         {"?cmd=hup", Hup},
    {"?cmd=kill", Kill},
};

int DoCommand(const char* request) {
    static char work[ZR1_REQ_SIZE];
    memset(work, 0, sizeof work);
    snprintf(work, sizeof work, "%s", request ? request : "");
    memset(respbuf, 0, sizeof respbuf);
    int rc = 0;
    bool matched = false;
    for (const Command& c : kCommands) {
        if (strncmp(work, c.prefix, strlen(c.prefix)) == 0) {
            rc = c.handler(work, respbuf);
            matched = true;
            break;
        }
    }
    if (!matched && work[0] == '\0') return -1;
    // The response buffer keeps room for the line end: the longest response
    // (a full leaf list) is far below its size.
    respbuf[ZR1_RESP_SIZE - 3] = '\0';
    size_t n = strlen(respbuf);
    respbuf[n] = '\r';
    respbuf[n + 1] = '\n';
    zr1_transceiver->writeLine(respbuf, n + 2);
    respbuf[n] = '\0';
    return rc;
}

const char* zr1Response() { return respbuf; }
