// utnode: see utnode.h.
#include "utnode.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "binary.h"
#include "log.h"
#include "ov3.h"
#include "scale.h"
#include "text.h"
#include "util.h"

UtTable ut_table;
UtLink* ut_link = nullptr;
time_t (*ut_clock)() = [] { return time(nullptr); };

size_t ut_segment_size(int maxnodes) {
    if (maxnodes < 0) maxnodes = 0;
    return sizeof(UtHead) + (sizeof(UtNode) + kUtListPerNode) * (size_t)maxnodes;
}

void ut_table_attach(void* base, int maxnodes, bool fresh) {
    char* p = static_cast<char*>(base);
    ut_table.head = reinterpret_cast<UtHead*>(p);
    ut_table.nodes = reinterpret_cast<UtNode*>(p + sizeof(UtHead));
    ut_table.leaves = p + sizeof(UtHead) + sizeof(UtNode) * (size_t)maxnodes;
    ut_table.leavesCap = kUtListPerNode * (size_t)maxnodes;
    ut_table.maxnodes = maxnodes;
    if (fresh) {
        memset(base, 0, ut_segment_size(maxnodes));
        ut_table.head->maxnodes = maxnodes;
        if (ut_table.leavesCap >= 2) ut_table.leaves[0] = '\n';
    }
}

bool ut_split_node(const char* node, char* host, size_t cap, size_t* hostlen, int* port) {
    const char* colon = strchr(node, ':');
    if (!colon) return false;
    size_t n = (size_t)(colon - node);
    *hostlen = n;
    if (cap) snprintf(host, cap, "%.*s", (int)(n < cap ? n : cap - 1), node);
    *port = drv_atoi(colon + 1);
    return true;
}

// ---------------------------------------------------------------- leaf list

void ut_reconstructleaves() {
    UtTable& t = ut_table;
    if (!t.leaves || t.leavesCap < 2) return;
    // Built aside and copied in one go, so a get_leaves of another connection sees
    // the old list or the new one for most of the rebuild, never a list that runs
    // past its area. Room is kept for the closing line feed and the string end.
    std::string list;
    const size_t room = t.leavesCap - 1;
    bool cut = false;
    char name[kUtHostMax + 64];
    for (int i = 0; i < t.head->count && i < t.maxnodes; i++) {
        const UtNode& n = t.nodes[i];
        for (int j = 0; j < kUtChannels; j++) {
            int type = n.channels[j][1];
            if (type == 255) continue;
            const char* const* kinds;
            int nk = ut_kinds(type, &kinds);
            for (int k = 0; k < nk; k++) {
                int len = ut_leafname(name, sizeof name, n.identity, j, kinds[k], n.host, n.port);
                if (len < 0 || (size_t)len >= sizeof name || list.size() + (size_t)len + 1 > room) {
                    cut = true;
                    continue;
                }
                list.append(name, (size_t)len).push_back(',');
            }
        }
    }
    if (cut) drv_log(LOG_WARNING, "leaf list full, some leaves are not listed");
    if (list.empty())
        list = "\n";
    else
        list.back() = '\n';
    memcpy(t.leaves, list.c_str(), list.size() + 1);
}

// ---------------------------------------------------------------- rescan

namespace {
// One request of the scan and its answer, with the trace lines of verbose mode.
// Returns the byte count read (or -1).
int exchange(drv::Session& s, int fd, int first, int count, unsigned char* answer, int size, int timeoutMs) {
    unsigned char req[kUtRequestLen];
    ut_request(req, first, count);
    if (s.verbose) {
        char text[2 * kUtRequestLen + 1];
        memcpy(text, req, sizeof req);
        mb2a(text, kUtRequestLen);
        s.trace("!send '%s' to host.\n", text);
    }
    ut_link->send(fd, req, sizeof req);
    int n = ut_link->read(fd, answer, size, timeoutMs);
    if (s.verbose && n >= 1) {
        char text[2 * 64 + 1];
        memcpy(text, answer, (size_t)n);
        mb2a(text, n);
        s.trace("!'%s' is received from node-network.\n", text);
    }
    return n;
}

// Stores what an answer of need bytes carries: its data, 0xFF bytes for an
// exception, or nothing for a missing or short answer. Writes the outcome trace.
void take(drv::Session& s, const unsigned char* answer, int n, int need, uint8_t* store, size_t len,
          bool traceOk) {
    UtAnswer a = ut_examine(answer, n, need);
    switch (a.kind) {
    case UtAnswerKind::Normal:
        memcpy(store, answer + 9, len);
        if (traceOk) s.trace("!OK\n");
        break;
    case UtAnswerKind::Exception:
        memset(store, 0xFF, len);
        s.trace("!ERR %02x%02x\n", answer[7], answer[8]);
        break;
    case UtAnswerKind::Invalid:
        s.trace("!EINVALNODERES\n");
        break;
    }
    // Not flushed here: the scan holds the field-network lock, and a client that
    // stops reading would hold it with its write. The request loop flushes the
    // traces with the answer once the lock is given back.
}
}  // namespace

int ut_scan(const char* host, int port, int timeoutMs, drv::Session& s) {
    UtTable& t = ut_table;
    ut_link->lock();
    int result = 0;
    int i = 0;
    bool added = false;
    for (; i < t.head->count; i++)
        if (t.nodes[i].port == port && strcmp(t.nodes[i].host, host) == 0) break;
    if (i == t.head->count) {
        if (t.head->count >= t.maxnodes) {
            ut_link->unlock();
            return -1;
        }
        UtNode& n = t.nodes[i];
        memset(&n, 0, sizeof n);
        snprintf(n.host, sizeof n.host, "%s", host);
        n.port = port;
        t.head->count++;
        added = true;
    }
    UtNode& n = t.nodes[i];
    int fd = ut_link->open(host, port, timeoutMs, false);
    if (fd < 0) {
        if (added) {
            t.head->count--;
            memset(&n, 0, sizeof n);
        }
        result = -2;
    } else {
        unsigned char answer[kUtChannelAnswer];
        int got = exchange(s, fd, kUtIdentityFirst, kUtIdentityRegs, answer, kUtIdentityAnswer, timeoutMs);
        take(s, answer, got, kUtIdentityAnswer, n.identity, sizeof n.identity, true);
        for (int j = 0; j < kUtChannels; j++) {
            got = exchange(s, fd, ut_channel_first(j), kUtChannelRegs, answer, kUtChannelAnswer, timeoutMs);
            take(s, answer, got, kUtChannelAnswer, n.channels[j], sizeof n.channels[j], false);
        }
        ut_link->close(fd, false);
        ut_reconstructleaves();
    }
    ut_link->unlock();
    return result;
}

void ut_dummy(char* out, size_t cap, const char* toq) {
    time_t now = time(nullptr);
    srand((unsigned)now);
    char digits[32];
    if (!toq || strcmp(toq, "ipc") == 0)
        snprintf(digits, sizeof digits, "%lld", (long long)now);
    else
        snprintf(digits, sizeof digits, "%d", rand() % 1000);
    div100(out, cap, digits);
}

// ---------------------------------------------------------------- requests

namespace {
int request_timeout() {
    const char* v = ov3_value("timeout");
    int t = v ? drv_atoi(v) : kUtDefaultTimeout;
    // No limit at all would let a silent gateway hold the field-network lock for
    // ever, so a zero or negative limit is the default one.
    return t > 0 ? t : kUtDefaultTimeout;
}
}  // namespace

void ut_cmd_get_leaves(drv::Session& s) {
    s.conn.out("?cmd=get_leaves&status=OK&val=");
    const UtTable& t = ut_table;
    if (!t.leaves || t.leavesCap == 0) {
        s.conn.out("\n");
        return;
    }
    s.conn.write(t.leaves, strnlen(t.leaves, t.leavesCap - 1));
}

void ut_cmd_rescan(drv::Session& s) {
    const char* node = ov3_value("node");
    if (!node) {
        s.conn.out("?cmd=rescan&status=EINVALNODE&val=\n");
        return;
    }
    char host[kUtHostMax + 1];
    size_t hostlen;
    int port;
    if (!ut_split_node(node, host, sizeof host, &hostlen, &port)) {
        s.conn.out("?cmd=rescan&status=EINVALNODE&val=%s\n", node);
        return;
    }
    if (port == 0) {
        s.trace("!node.port == 0, return a dummy response.\n");
        s.conn.out("?cmd=rescan&status=E_DUMMY_SCAN_NOT_IMPLEMENTED_YET\n");
        return;
    }
    // A record holds 103 characters of host: a longer one would be cut, and the cut
    // name would then stand for a different gateway.
    if (hostlen > kUtHostMax) {
        s.conn.out("?cmd=rescan&status=EINVALNODE&val=%s\n", node);
        return;
    }
    switch (ut_scan(host, port, request_timeout(), s)) {
    case 0: s.conn.out("?cmd=rescan&status=OK\n"); break;
    case -1: s.conn.out("?cmd=rescan&status=EMAXNODES\n"); break;
    case -2: s.conn.out("?cmd=rescan&status=ENONODE\n"); break;
    default: s.conn.out("?cmd=rescan&status=EUNKNOWN\n"); break;
    }
}

namespace {
void trace_time(drv::Session& s, time_t t, const char* what) {
    struct tm tm;
    localtime_r(&t, &tm);
    s.trace("!%04d-%02d-%02d %02d:%02d:%02d %s\n", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
            tm.tm_min, tm.tm_sec, what);
}

// The answer to a get_value once the gateway's answer is in.
void answer_value(drv::Session& s, const unsigned char* ans, int n, const char* toq) {
    UtAnswer a = ut_examine(ans, n, kUtValueMinAnswer);
    if (a.kind == UtAnswerKind::Exception) {
        s.conn.out("?cmd=get_value&status=ENODEERR&val=%02x\n", a.code);
        return;
    }
    if (a.kind != UtAnswerKind::Normal) {
        s.conn.out("?cmd=get_value&status=EINVALNODERES\n");
        return;
    }
    time_t now = ut_clock();
    int age = binary_getInt16(ans + 11);
    trace_time(s, now, "now");
    s.trace("!2nd register says time diff = %d [sec]\n", age);
    time_t measured = now - age;
    trace_time(s, measured, "is to be measuring-datetime.");
    UtRnd rnd;
    ut_toq2rnd(&rnd, toq);
    if (rnd.offset < 0) {
        s.conn.out("?cmd=get_value&status=EINVALTOQ&val=%s\n", toq ? toq : "");
        return;
    }
    // The selected float must lie within what was received: a cut answer never lends
    // bytes it did not carry.
    int at = 9 + 2 * rnd.offset;
    if (at + 4 > n) {
        s.conn.out("?cmd=get_value&status=EINVALNODERES\n");
        return;
    }
    double v = binary_getFloat32(ans + at);
    if (rnd.scale == 100) v *= 100;
    struct tm tm;
    localtime_r(&measured, &tm);
    s.conn.out("?cmd=get_value&status=OK&val=%f&time=%04d-%02d-%02d_%02d:%02d:%02d\n", v, tm.tm_year + 1900,
               tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}
}  // namespace

void ut_cmd_get_value(drv::Session& s) {
    const char* node = ov3_value("node");
    char host[drv::kLineBuf];
    size_t hostlen;
    int port = kUtDefaultPort;
    if (!node) {
        snprintf(host, sizeof host, "%s", kUtDefaultHost);
    } else if (!ut_split_node(node, host, sizeof host, &hostlen, &port)) {
        s.conn.out("?cmd=get_value&status=EINVALNODE&val=%s\n", node);
        return;
    }
    int block;
    bool ok = ut_leaf_block(ov3_value("leaf"), &block);
    // Register addresses are 16 bits: a block beyond them would be read from a
    // wrapped-around address, that is from another channel.
    if (!ok || block < 1 || block > kUtMaxBlock) {
        s.conn.out("?cmd=get_value&status=EINVALLEAF&val=%d\n", block);
        return;
    }
    const char* toq = ov3_value("toq");
    if (port == 0) {
        s.trace("!node.port == 0, return a dummy response.\n");
        char val[64];
        ut_dummy(val, sizeof val, toq);
        s.conn.out("?cmd=get_value&status=OK&val=%s\n", val);
        return;
    }
    int timeout = request_timeout();
    unsigned char req[kUtRequestLen];
    ut_request(req, ut_block_first(block), kUtBlockRegs);
    if (s.verbose) {
        char text[4 * kUtRequestLen + 1];
        memcpy(text, req, sizeof req);
        ov3_bytes::escape(text, kUtRequestLen);
        s.trace("!send '%s' to host.\n", text);
    }
    int fd = ut_link->open(host, port, timeout, true);
    if (fd < 0) {
        s.conn.out("?cmd=get_value&status=ENONODE&val=%s:%d\n", host, port);
        return;
    }
    unsigned char ans[kUtBlockAnswer];
    int n = -1;
    if (ut_link->send(fd, req, sizeof req)) n = ut_link->read(fd, ans, sizeof ans, timeout);
    if (s.verbose && n >= 1) {
        char text[4 * kUtBlockAnswer + 1];
        memcpy(text, ans, (size_t)n);
        ov3_bytes::escape(text, n);
        s.trace("!'%s' is received from node-network.\n", text);
    }
    // The lock is given back before the answer is written: a client that does
    // not read would otherwise hold every other gateway request with its write.
    ut_link->close(fd, true);
    answer_value(s, ans, n, toq);
    s.conn.flush();
}

void ut_raw(drv::Session& s, char* meta) {
    char* text = meta + 1;  // what follows "!!"
    char* colon = strchr(text, ':');
    char* slash = colon ? strchr(colon + 1, '/') : nullptr;
    if (!colon || !slash) {
        s.conn.out("! should be used like '!<host>:<port>/<string>' form.\n");
        return;
    }
    *colon = '\0';
    *slash = '\0';
    const char* host = text;
    int port = drv_atoi(colon + 1);
    char* data = slash + 1;
    s.conn.out("!%s:%d/%s. OK, send '%s' to host '%s', port %d\n", host, port, data, data, host, port);
    s.conn.flush();
    int fd = ut_link->open(host, port, kUtRawTimeout, true);
    if (fd < 0) {
        s.conn.out("!failed to connect host '%s', port %d\n", host, port);
        return;
    }
    int len = ov3_bytes::unescape(data);
    ut_link->send(fd, data, (size_t)len);
    static char answer[4 * kUtRawAnswer + 1];
    int n = ut_link->read(fd, answer, kUtRawAnswer, kUtRawTimeout);
    if (n < 0) {
        s.conn.out("!host '%s', port %d don't reply in 5 seconds.\n", host, port);
    } else {
        ov3_bytes::escape(answer, n);
        s.conn.out("!'%s' is received from host '%s', port %d.\n", answer, host, port);
    }
    ut_link->close(fd, true);  // before the write, as get_value
    s.conn.flush();
}

const drv::Command ut_commands[] = {
    {"he", "hello", drv::cmd_hello},
    {"k", "kill", drv::cmd_kill},
    {"hu", "hup", drv::cmd_hup},
    {"v", "version", drv::cmd_version},
    {"get_l", "get_leaves", ut_cmd_get_leaves},
    {"r", "rescan", ut_cmd_rescan},
    {"get_v", "get_value", ut_cmd_get_value},
};
const size_t ut_ncommands = sizeof ut_commands / sizeof ut_commands[0];
