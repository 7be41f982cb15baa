// serlink_core: see serlink_core.h.
#include "serlink_core.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "serlink_frame.h"
#include "stopwait.h"

MsgRequest recvbuf;
MsgAnswer sendbuf;
MsgAnswer cmd12cache;
int bMsrmntErr = 0;
SerialLine* serial_line = nullptr;
int (*answer_sender)(const MsgAnswer&) = nullptr;

void core_reset() {
    memset(&recvbuf, 0, sizeof recvbuf);
    memset(&sendbuf, 0, sizeof sendbuf);
    memset(&cmd12cache, 0, sizeof cmd12cache);
    bMsrmntErr = 0;
}

void log_writer(int level, const char* message, int errnum) {
    if (recvbuf.command == ZRCMD_GET_VALUE && errnum != 0) {
        if (bMsrmntErr == 1) return;
        bMsrmntErr = 1;
    }
    if (errnum != 0)
        drv_log(level, "%s (%s)", message, strerror(errnum));
    else
        drv_log(level, "%s", message);
}

// Log at alert level and print with perror under the same word.
static void fail(const char* word, int e) {
    log_writer(LOG_ALERT, word, e);
    errno = e;
    perror(word);
}

int put_string(int command, char node, char param) {
    printf("put_string cmd=%d, node=%c\n", command, node);
    uint8_t frame[ZR_FRAME_MAX] = {};
    struct tm now = {};
    if (command == ZRCMD_SET_TIME) now = serial_line->now();
    int n = zr_build_frame(command, node, param, now, frame, sizeof frame);
    if (n < 0) return -2;
    if (serial_line->write(frame, (size_t)n) != 0) {
        fail("write", errno);
        return -1;
    }
    buf_dump_to(stdout, frame, (size_t)n, sizeof frame);
    return 0;
}

int data_rcv(uint8_t* dest) {
    ZrReceiver r;
    zr_rcv_init(r);
    uint8_t chunk[ZR_FRAME_MAX];
    int result = ZR_RCV_MORE;
    while (result == ZR_RCV_MORE) {
        int n = serial_line->read_chunk(chunk, sizeof chunk);
        if (n < 0) return ZRST_SELRECV;
        if (n == 0) {
            printf("Rcv timeout.\n");
            result = ZRST_TIMEOUT;
            break;
        }
        result = zr_rcv_feed(r, chunk, (size_t)n, stdout);
    }
    memcpy(dest, r.frame, r.len);
    return result;
}

// Row n of a channel table from a scan frame: '0' where the channel field
// (frame offset 12 + 9c) begins "00", else '1'.
static void set_row(MsgAnswer& a, int n, const uint8_t* frame) {
    for (int c = 0; c < ZR_CHANNELS; c++) {
        const uint8_t* f = frame + 12 + 9 * c;
        a.chtable[n][c] = (f[0] == '0' && f[1] == '0') ? '0' : '1';
    }
}

int measurement(int command, char node, char param, MsgAnswer& answer) {
    int rc = serial_line->open();
    if (rc == -1) {
        answer.status = ZRST_SELOPEN;
        return -1;
    }
    if (rc == -2) {
        answer.status = ZRST_ETC;
        serial_line->close();
        return -1;
    }
    rc = put_string(command, node, param);
    if (rc < 0) {
        answer.status = rc == -1 ? ZRST_SELSEND : ZRST_CMDERR;
        serial_line->close();
        return -1;
    }
    uint8_t frame[ZR_FRAME_MAX] = {};
    int r = data_rcv(frame);
    serial_line->close();

    int n;
    c16toi10(node, &n);
    switch (command) {
    case ZRCMD_GET_LEAVES:
        // Callers give nodes 0-15 only; the guard keeps a stray one off the table.
        if (n < 0 || n >= ZR_NODES) break;
        if (r < 0) {
            answer.status = r;
            memset(answer.chtable[n], '0', ZR_CHANNELS);
        } else {
            set_row(answer, n, frame);
        }
        break;
    case ZRCMD_GET_VALUE:
        if (r < 0) {
            answer.status = r;
        } else {
            struct tm t = serial_line->now();
            char text[32];
            snprintf(text, sizeof text, "%04d-%02d-%02d", (t.tm_year + 1900) % 10000,
                     (t.tm_mon + 1) % 100, t.tm_mday % 100);
            memcpy(answer.date, text, sizeof answer.date);
            snprintf(text, sizeof text, "%02d:%02d:%02d", t.tm_hour % 100, t.tm_min % 100,
                     t.tm_sec % 100);
            memcpy(answer.time, text, sizeof answer.time);
            memcpy(answer.value, frame + 31, sizeof answer.value);
            memcpy(answer.valmark, frame + 29, sizeof answer.valmark);
            if (answer.valmark[0] == '0' && answer.valmark[1] == '0') answer.status = ZRST_NOLEAF;
        }
        break;
    case ZRCMD_SET_TIME:
        if (r < 0 && r != ZRST_TIMEOUT) answer.status = r;
        break;
    case ZRCMD_SCANLEAVES:
        printf("node=%d\n", n);
        if (n < 0 || n >= ZR_NODES) break;
        if (r < 0) {
            answer.status = r;
            memset(answer.chtable[n], '0', ZR_CHANNELS);
        } else {
            // An answer longer than its slot is cut to the slot; slot bytes behind
            // a shorter answer keep what they held.
            size_t len = (size_t)r < (size_t)ZR_SLOT ? (size_t)r : (size_t)ZR_SLOT;
            memcpy(answer.frames[n], frame, len);
            set_row(answer, n, reinterpret_cast<const uint8_t*>(answer.frames[n]));
        }
        break;
    case ZRCMD_CHKTYP20:
        if (n < 0 || n >= ZR_NODES) break;
        if (r < 0) {
            answer.status = r;
            zr_set_chk(answer, n, r == ZRST_TIMEOUT ? ZRCHK_SILENT : ZRCHK_FAILED);
        } else {
            zr_set_chk(answer, n, ZRCHK_ANSWERED);
        }
        break;
    default:
        break;
    }
    return 0;
}

static void send_answer(const char* word) {
    if (answer_sender(sendbuf) != 0) fail(word, errno);
}

// Nodes the cache has no place for are refused before any line traffic.
static bool refuse_bad_node(int* n) {
    c16toi10(recvbuf.node, n);
    if (zr_node_valid(recvbuf.node)) return false;
    sendbuf.status = ZRST_CMDERR;
    return true;
}

void scanch() {
    printf("scanch start\n");
    memcpy(sendbuf.chtable, cmd12cache.chtable, sizeof sendbuf.chtable);
    memcpy(sendbuf.frames, cmd12cache.frames, sizeof sendbuf.frames);
    memcpy(sendbuf.chktbl, cmd12cache.chktbl, sizeof sendbuf.chktbl);
    send_answer("get_leaves_ch msgsnd");
    printf("scanch end\n");
}

void scanleaves() {
    printf("scanleaves start\n");
    memcpy(sendbuf.chtable, cmd12cache.chtable, sizeof sendbuf.chtable);
    memcpy(sendbuf.frames, cmd12cache.frames, sizeof sendbuf.frames);
    int n;
    if (!refuse_bad_node(&n) &&
        measurement(ZRCMD_SCANLEAVES, recvbuf.node, recvbuf.param, sendbuf) == 0) {
        memcpy(cmd12cache.chtable, sendbuf.chtable, sizeof cmd12cache.chtable);
        memcpy(cmd12cache.frames, sendbuf.frames, sizeof cmd12cache.frames);
    }
    send_answer("get_leaves2 msgsnd");
    printf("scanleaves end\n");
}

void chkTyp20ch() {
    printf("chkTyp20ch start\n");
    memcpy(sendbuf.chktbl, cmd12cache.chktbl, sizeof sendbuf.chktbl);
    send_answer("chkTyp20ch msgsnd");
    printf("chkTyp20ch end\n");
}

void chkTyp20() {
    printf("chkTyp20 start\n");
    memcpy(sendbuf.chktbl, cmd12cache.chktbl, sizeof sendbuf.chktbl);
    int n;
    if (!refuse_bad_node(&n) &&
        measurement(ZRCMD_CHKTYP20, recvbuf.node, recvbuf.param, sendbuf) == 0)
        memcpy(cmd12cache.chktbl, sendbuf.chktbl, sizeof cmd12cache.chktbl);
    send_answer("chkTyp20 msgsnd");
    printf("chkTyp20 end\n");
}

void clrChkTyp20ch() {
    printf("clrChkTyp20ch start\n");
    int n;
    bool bad = refuse_bad_node(&n);
    printf("node=%d\n", n);
    if (!bad) zr_set_chk(cmd12cache, n, ZRCHK_NONE);
    send_answer("clrChkTyp20ch msgsnd");
    printf("clrChkTyp20ch end\n");
}

ServeNext serve_request() {
    zr_prepare_answer(sendbuf, recvbuf);
    switch (recvbuf.command) {
    case ZRCMD_GET_LEAVES:
        for (int i = 0; i < ZR_NODES; i++) {
            char node;
            i10toc16(i, &node);
            measurement(ZRCMD_GET_LEAVES, node, 0, sendbuf);
            // A stop during the pause ends the program there (stopwait).
            sw_sleep(5);
        }
        send_answer("get_leaves msgsnd");
        break;
    case ZRCMD_GET_VALUE:
        if (measurement(ZRCMD_GET_VALUE, recvbuf.node, recvbuf.param, sendbuf) == -1) break;
        if (answer_sender(sendbuf) != 0) {
            fail("get_value msgsnd", errno);
        } else if (sendbuf.status == ZRST_OK && bMsrmntErr == 1) {
            bMsrmntErr = 0;
            log_writer(LOG_INFO, "measurement err->normal", 0);
        }
        break;
    case ZRCMD_SET_TIME:
        if (measurement(ZRCMD_SET_TIME, 0, 0, sendbuf) == -1) break;
        send_answer("set_time msgsnd");
        break;
    case ZRCMD_SCANCH: scanch(); break;
    case ZRCMD_SCANLEAVES: scanleaves(); break;
    case ZRCMD_CHKTYP20CH: chkTyp20ch(); break;
    case ZRCMD_CHKTYP20: chkTyp20(); break;
    case ZRCMD_CLRCHKTYP20CH: clrChkTyp20ch(); break;
    case ZRCMD_HELLO:
        send_answer("hello msgsnd");
        break;
    case ZRCMD_RESTART:
        log_writer(LOG_INFO, "resterted", 0);
        send_answer("restart msgsnd");
        return ServeNext::Restart;
    case ZRCMD_STOP:
        log_writer(LOG_INFO, "stoped", 0);
        send_answer("stop msgsnd");
        return ServeNext::Stop;
    default:
        log_writer(LOG_WARNING, "command error", 0);
        sendbuf.status = ZRST_CMDERR;
        send_answer("cmd error msgsnd");
        break;
    }
    return ServeNext::Loop;
}
