// pmmeter: see pmmeter.h.
#include "pmmeter.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "deadline.h"
#include "hex.h"
#include "log.h"
#include "mewtocol.h"
#include "ov3.h"
#include "pmtoq.h"
#include "scale.h"
#include "text.h"

PmConfig pm_cfg;
PmShared* pm_shared = nullptr;
PmLine* pm_line = nullptr;

namespace {
constexpr int kScanTimeoutMs = 500;
constexpr int kAnswerBuf = 1024;  // reads take at most 1023 bytes (get_value: 1022)
constexpr int kOpenAttempts = 100;

bool in_table(int node) { return node >= 0 && node < kPmNodes; }

// One exchange over an open device: the answer's length, or -1.
//
// Every answer frame begins with "%". A line without one is noise on the bus
// (or the tail of an earlier frame); taking it as the answer would leave the
// real answer in the input, where the next exchange - opened after its flush,
// before the meter had sent it - would take it as its own and report another
// register's value as OK. So such lines are passed over for as long as the
// answer wait lasts, and noise in front of a "%" on the same line is cut off.
int exchange(int fd, const char* frame, int flen, char* answer, int size, int timeoutMs) {
    answer[0] = '\0';
    if (!pm_line->send(fd, frame, (size_t)flen)) return -1;
    orv::Deadline end = orv::Deadline::in(timeoutMs);
    int wait = timeoutMs;
    for (;;) {
        int n = pm_line->read(fd, answer, size, wait);
        if (n <= 0) return n;
        if (const char* pct = (const char*)memchr(answer, '%', (size_t)n)) {
            int skip = (int)(pct - answer);
            memmove(answer, pct, (size_t)(n - skip) + 1);
            return n - skip;
        }
        wait = end.leftMs();
        if (wait <= 0) {
            answer[0] = '\0';
            return -1;
        }
    }
}

// One probe of a scan. A daemon that is to end or restart stops its scan here:
// each further absent station would cost the scan's whole answer wait, and a
// restart scans anew anyway.
int probe(int fd, const char* frame, int flen, char* answer, int size) {
    if (pm_line->stopping()) {
        answer[0] = '\0';
        return -1;
    }
    return exchange(fd, frame, flen, answer, size, kScanTimeoutMs);
}

bool is_ffffffff(const char* p) { return strncmp(p, "FFFFFFFF", 8) == 0; }
}  // namespace

void pm_clamp(PmConfig& cfg) {
    if (cfg.maxnodes < 0) cfg.maxnodes = 0;
    if (cfg.maxnodes > kPmMaxNodes) cfg.maxnodes = kPmMaxNodes;
    if (cfg.maxleaves < 0) cfg.maxleaves = 0;
    if (cfg.maxleaves > kPmMaxLeaves) cfg.maxleaves = kPmMaxLeaves;
}

int pm_kind(int node) { return in_table(node) ? pm_shared->nodes[node][0] : 0; }

int pm_leaf(int node, int leaf) {
    if (!in_table(node) || leaf < 1 || leaf > kPmMaxLeaves) return 0;
    return pm_shared->nodes[node][leaf + 1];
}

int pm_scanleaves(int fd, int node) {
    if (!in_table(node)) return -1;
    int32_t* e = pm_shared->nodes[node];
    char frame[64], ans[kAnswerBuf];
    int flen = pm_frame_ident(frame, sizeof frame, node);
    int n = probe(fd, frame, flen, ans, sizeof ans);
    if (n <= 22 || ans[3] != '$') return 0;
    unsigned a = hex_getuint(ans + 6), b = hex_getuint(ans + 14);
    e[0] = (a > 99 && b > 99) ? 2 : 1;
    if (e[0] == 2) {
        for (int i = 1; i <= pm_cfg.maxleaves; i++) {
            flen = pm_frame_probe2(frame, sizeof frame, node, i);
            n = probe(fd, frame, flen, ans, sizeof ans);
            if (n > 13 && !is_ffffffff(ans + 6)) e[i + 1] = 1;
        }
    } else {
        // Blocks 1 .. below (maxleaves+1)/2: with maxleaves 8 that is leaves 1..6,
        // the range this meter family has always been probed over.
        for (int i = 1; i < (pm_cfg.maxleaves + 1) / 2; i++) {
            flen = pm_frame_probe1(frame, sizeof frame, node, i);
            n = probe(fd, frame, flen, ans, sizeof ans);
            if (n > 23) {
                if (!is_ffffffff(ans + 6)) e[2 * i - 1 + 1] = 1;
                if (!is_ffffffff(ans + 14)) e[2 * i + 1] = 1;
            }
        }
    }
    return 0;
}

void pm_reconstructleaves() {
    // Built aside and copied in, so a reader during a rescan sees the old or the new
    // list for all but the copy itself.
    static char plain[kPmListSize], ext[kPmListSize];
    size_t np = 0, ne = 0;
    plain[0] = ext[0] = '\0';
    auto add = [](char* buf, size_t& len, const char* fmt, int node, int leaf) {
        if (len >= kPmListSize) return;
        int w = snprintf(buf + len, kPmListSize - len, fmt, node, leaf);
        if (w > 0) len = len + (size_t)w < kPmListSize ? len + (size_t)w : kPmListSize - 1;
    };
    for (int node = 1; node <= pm_cfg.maxnodes; node++) {
        int kind = pm_shared->nodes[node][0];
        if (kind == 1) {
            for (int j = 1; j < (pm_cfg.maxleaves + 1) / 2; j++) {
                for (int leaf = 2 * j - 1; leaf <= 2 * j; leaf++) {
                    if (!pm_leaf(node, leaf)) continue;
                    add(plain, np, "%d_%d,", node, leaf);
                    add(ext, ne, "%d_%d_w2,", node, leaf);
                }
            }
        } else if (kind == 2) {
            for (int leaf = 1; leaf <= pm_cfg.maxleaves; leaf++) {
                if (!pm_leaf(node, leaf)) continue;
                add(plain, np, "%d_%d,", node, leaf);
                add(ext, ne, "%d_%d_w3,", node, leaf);
            }
        }
    }
    // The last comma becomes the line end; an empty list is a line end alone.
    auto finish = [](char* buf, size_t len) {
        if (len > 0 && buf[len - 1] == ',') buf[len - 1] = '\n';
        else if (len + 1 < kPmListSize) { buf[len] = '\n'; buf[len + 1] = '\0'; }
    };
    finish(plain, np);
    finish(ext, ne);
    memcpy(pm_shared->leaves, plain, strlen(plain) + 1);
    memcpy(pm_shared->leavesEx, ext, strlen(ext) + 1);
}

int pm_scan(int node) {
    if (node < 0 || node > pm_cfg.maxnodes) return -1;
    int fd = -1;
    unsigned delay = 5;
    for (int attempt = 0; attempt < kOpenAttempts; attempt++) {
        // A daemon that is to end or restart neither waits for the lock nor opens
        // the device: a connection's long reading may hold the lock for as long
        // as its client's timeout.
        if (pm_line->stopping()) return -1;
        fd = pm_line->open();
        if (fd >= 0) break;
        if (pm_line->stopping()) return -1;
        drv_log(LOG_WARNING, "failed to open and init the device.retry after %d seconds.", (int)delay);
        if (!pm_line->pause(delay)) return -1;
        if (delay <= UINT_MAX / 2) delay *= 2;
    }
    if (fd < 0) {
        // Never opened: the lock is not ours, so neither the device nor the lock is touched.
        drv_log(LOG_ERR, "failed to open and init the device, giving up.");
        return -1;
    }
    if (node == 0) {
        memset(pm_shared->nodes, 0, sizeof pm_shared->nodes);
        for (int i = 1; i <= pm_cfg.maxnodes && !pm_line->stopping(); i++) pm_scanleaves(fd, i);
    } else {
        memset(pm_shared->nodes[node], 0, sizeof pm_shared->nodes[node]);
        pm_scanleaves(fd, node);
    }
    pm_reconstructleaves();
    pm_line->close(fd);
    return 0;
}

void pm_dummy(char* out, size_t cap, const char* toq) {
    srand((unsigned)time(nullptr));
    char digits[32];
    snprintf(digits, sizeof digits, "%d", rand() % 10000);
    if (toq && strcmp(toq, "ip") == 0) {
        div1000(out, cap, digits);
    } else if (toq && strcmp(toq, "pf") == 0) {
        div100(out, cap, digits);
    } else if (toq && toq[0] == 'v') {
        div10(out, cap, digits);
    } else if (toq && toq[0] == 'c') {
        div100(out, cap, digits);
    } else {
        snprintf(digits, sizeof digits, "%lld", (long long)time(nullptr));
        div100(out, cap, digits);
    }
}

static void write_list(drv::Session& s, const char* name, const char* list) {
    s.conn.out("?cmd=%s&status=OK&val=", name);
    size_t n = strnlen(list, kPmListSize - 1);
    s.conn.write(list, n);
    // A list caught in the middle of a rebuild still ends the response line.
    if (n == 0 || list[n - 1] != '\n') s.conn.write("\n", 1);
}

void pm_cmd_get_leaves(drv::Session& s) { write_list(s, "get_leaves", pm_shared->leaves); }
void pm_cmd_get_leaves_ex(drv::Session& s) { write_list(s, "get_leaves_ex", pm_shared->leavesEx); }

void pm_cmd_rescan(drv::Session& s) {
    const char* text = ov3_value("node");
    int node = text ? drv_atoi(text) : 0;
    if (node < 0 || node > pm_cfg.maxnodes) {
        // Negative stations have no entry; they are refused like ones above maxnodes.
        s.conn.out("?cmd=rescan&status=EINVALNODE&val=%s\n", text);
        return;
    }
    pm_scan(node);
    s.conn.out("?cmd=rescan&status=OK\n");
}

// Escapes text into out (2 * len + 1 bytes are always enough).
static const char* escaped(char* out, size_t cap, const char* text) {
    snprintf(out, cap, "%s", text);
    if (strlen(out) * 2 + 1 > cap) out[(cap - 1) / 2] = '\0';
    ov3_text::escape(out);
    return out;
}

void pm_cmd_get_value(drv::Session& s) {
    const char* ntext = ov3_value("node");
    const char* ltext = ov3_value("leaf");
    const char* toq = ov3_value("toq");
    const char* ttext = ov3_value("timeout");
    int node = ntext ? drv_atoi(ntext) : 1;
    int leaf = ltext ? drv_atoi(ltext) : 1;
    int timeout = ttext ? drv_atoi(ttext) : 500;
    // No timer at all would wait for ever: a useless timeout is the default.
    if (timeout <= 0) timeout = 500;

    if (node > 99) {
        s.trace("!99 < node: %d, return a dummy response.\n", node);
        char val[64];
        pm_dummy(val, sizeof val, toq);
        s.conn.out("?cmd=get_value&status=OK&val=%s\n", val);
        return;
    }
    if (node < 0) {
        s.conn.out("?cmd=get_value&status=ENONODE&val=%d\n", node);
        return;
    }
    int kind = pm_kind(node);
    if ((kind != 1 && kind != 2) || !pm_leaf(node, leaf)) {
        int fd = pm_line->open();
        if (fd < 0) {
            s.conn.out("?cmd=get_value&status=ENODEV&val=%s\n", pm_cfg.device);
            return;
        }
        pm_scanleaves(fd, node);
        pm_reconstructleaves();
        pm_line->close(fd);
        kind = pm_kind(node);
    }
    if (kind != 1 && kind != 2) {
        s.conn.out("?cmd=get_value&status=ENONODE&val=%d\n", node);
        return;
    }
    if (!pm_leaf(node, leaf)) {
        s.conn.out("?cmd=get_value&status=ENOLEAF&val=%d_%d\n", node, leaf);
        return;
    }
    PmRnd rnd;
    pm_toq2rnd(&rnd, toq, kind == 2 ? 0 : (leaf % 2 ? 1 : 2));
    if (rnd.offset < 0) {
        s.conn.out("?cmd=get_value&status=EINVALTOQ&val=%s\n", toq ? toq : "");
        return;
    }
    int first = kind == 1 ? ((leaf - 1) / 2) * 100 + 100 + rnd.offset : leaf * 100 + rnd.offset;
    int last = first + rnd.nregs - 1;
    char frame[64], shown[2 * sizeof frame + 1];
    int flen = pm_frame_read(frame, sizeof frame, node, first, last);
    s.trace("!send '%s' to node-network.\n", escaped(shown, sizeof shown, frame));

    int fd = pm_line->open();
    if (fd < 0) {
        s.conn.out("?cmd=get_value&status=ENODEV&val=%s\n", pm_cfg.device);
        return;
    }
    char ans[1023];  // at most 1022 bytes of answer
    int n = exchange(fd, frame, flen, ans, sizeof ans, timeout);
    if (s.verbose) {
        static char ashown[2 * sizeof ans + 1];
        s.trace("!'%s' is received from node-network.\n", escaped(ashown, sizeof ashown, ans));
    }
    PmAnswer a = pm_examine(ans, n);
    pm_line->close(fd);

    unsigned value;
    if (a.kind == PmAnswerKind::Data && pm_decode(a, rnd.nregs, &value)) {
        char digits[16], val[32];
        snprintf(digits, sizeof digits, "%u", value);
        s.conn.out("?cmd=get_value&status=OK&val=%s\n", scale_by(val, sizeof val, digits, rnd.divisor));
    } else if (a.kind == PmAnswerKind::Error) {
        s.conn.out("?cmd=get_value&status=ENODEERR&val=%s\n", a.code);
    } else {
        s.conn.out("?cmd=get_value&status=EINVALNODERES\n");
    }
}

void pm_raw(drv::Session& s, char* meta) {
    char* text = meta + 1;  // what follows "!!"
    s.conn.out("!%s. OK, send %s to node-network.\n", meta, text);
    s.conn.flush();
    int fd = pm_line->open();
    if (fd < 0) {
        s.conn.out("status=ENODEV&value=%s\n", pm_cfg.device);
        return;
    }
    // The meta text is at most 1021 characters; with the carriage return it fits.
    char frame[drv::kLineBuf + 1];
    snprintf(frame, sizeof frame - 1, "%s", text);
    ov3_text::unescape(frame);
    size_t len = strlen(frame);
    if (len == 0 || frame[len - 1] != '\r') {
        frame[len++] = '\r';
        frame[len] = '\0';
    }
    char ans[1023];
    ans[0] = '\0';
    if (pm_line->send(fd, frame, len)) pm_line->read(fd, ans, sizeof ans, 500);
    pm_line->close(fd);
    static char shown[2 * sizeof ans + 1];
    s.conn.out("!'%s' is received from node-network.\n", escaped(shown, sizeof shown, ans));
}
