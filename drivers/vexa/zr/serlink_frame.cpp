// serlink_frame: see serlink_frame.h.
#include "serlink_frame.h"

#include <cstring>

#include "zrmsg.h"

static void bcc_text(uint8_t value, char* text) {
    static const char digits[] = "0123456789ABCDEF";
    text[0] = digits[value >> 4];
    text[1] = digits[value & 0x0F];
    text[2] = '\0';
}

void bcc_ascii(uint8_t value, char* text) {
    bcc_text(value, text);
    printf("chk = %s\n", text);
}

void i10toc16(int number, char* character) {
    *character = number >= 0 && number <= 9 ? (char)('0' + number) : (char)(number + 55);
}

void c16toi10(char character, int* number) {
    *number = character >= '0' && character <= '9' ? character - '0' : character - 55;
}

uint8_t zr_bcc(const uint8_t* bytes, size_t n) {
    uint8_t v = 0;
    for (size_t i = 0; i < n; i++) v ^= bytes[i];
    return v;
}

int zr_build_frame(int command, char node, char param, const struct tm& now, uint8_t* out,
                   size_t cap) {
    char* body = reinterpret_cast<char*>(out) + 1;
    size_t room = cap - 1 - 4;  // STX before, ETX + check + CR after
    int n;
    switch (command) {
    case ZRCMD_GET_LEAVES:
    case ZRCMD_SCANLEAVES:
        n = snprintf(body, room, "%c%s", node, "23");
        break;
    case ZRCMD_GET_VALUE:
        n = snprintf(body, room, "%c%s%c%c%c%c%c", node, "00", 0x40, 0x40, 0x40, 0x41, param);
        break;
    case ZRCMD_SET_TIME:
        n = snprintf(body, room, "%c%s%d%02d%02d%02d%02d%02d", '*', "20", now.tm_year + 1900,
                     now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
        break;
    case ZRCMD_CHKTYP20:
        n = snprintf(body, room, "%c%s", node, "GP");
        break;
    default:
        return -2;
    }
    if (n < 0 || (size_t)n >= room) n = (int)room - 1;
    // A node or leaf character of zero would end the %c text early in a C string;
    // the frame keeps exactly the bytes formatted, so count by position, not strlen.
    size_t len = 1 + (size_t)n;
    out[0] = ZR_STX;
    out[len++] = ZR_ETX;
    char chk[3];
    bcc_ascii(zr_bcc(out + 1, len - 1), chk);
    out[len++] = (uint8_t)chk[0];
    out[len++] = (uint8_t)chk[1];
    out[len++] = ZR_CR;
    return (int)len;
}

void zr_rcv_init(ZrReceiver& r) {
    std::memset(r.frame, 0, sizeof r.frame);
    r.len = 0;
    r.started = false;
    r.eot = false;
    r.bcc = 0;
    r.result = ZR_RCV_MORE;
}

static void store(ZrReceiver& r, uint8_t b) {
    if (r.len < ZR_FRAME_MAX) r.frame[r.len++] = b;
}

int zr_rcv_feed(ZrReceiver& r, const uint8_t* chunk, size_t n, FILE* out) {
    for (size_t i = 0; i < n && r.result == ZR_RCV_MORE; i++) {
        uint8_t b = chunk[i];
        if (b == ZR_CR && r.eot) {
            char chk[3];
            bcc_text(r.bcc, chk);
            if (out) {
                fprintf(out, "chk = %s\n", chk);
                buf_dump_to(out, r.frame, r.len, sizeof r.frame);
            }
            bool ok = r.len >= 2 && r.frame[r.len - 2] == (uint8_t)chk[0] &&
                      r.frame[r.len - 1] == (uint8_t)chk[1];
            if (out) fputs(ok ? "Rcv finish!!\n" : "BCC ERROR\n", out);
            r.result = ok ? (int)r.len : ZRST_BCC;
        } else if (!r.started) {
            if (b == ZR_STX) {
                r.len = 0;
                store(r, b);
                r.started = true;
            }
        } else if (b == ZR_STX) {
            // A new start drops what was stored; the check value and the
            // end-of-text mark carry on, as the nodes' firmware expects.
            r.len = 0;
            store(r, b);
        } else if (r.len >= ZR_FRAME_MAX) {
            // Buffer full: the byte is neither stored nor folded.
        } else if (b == ZR_ETX) {
            store(r, b);
            r.bcc ^= b;
            r.eot = true;
        } else {
            store(r, b);
            if (!r.eot) r.bcc ^= b;
        }
    }
    return r.result;
}

void buf_dump_to(FILE* out, const uint8_t* bytes, size_t size, size_t cap) {
    fprintf(out, "\ndata size=0x%02zx(%zu)\n", size, size);
    for (size_t line = 0; line < size; line += 16) {
        char text[16 * 3 + 1 + 16 + 2];
        size_t p = 0;
        for (size_t i = 0; i < 16; i++) {
            uint8_t b = line + i < cap ? bytes[line + i] : 0;
            p += (size_t)snprintf(text + p, sizeof text - p, i ? " %02x" : "%02x", b);
        }
        text[p++] = ' ';
        for (size_t i = 0; i < 16; i++) {
            uint8_t b = line + i < cap ? bytes[line + i] : 0;
            text[p++] = b == 0 ? '.' : (b >= 0x21 && b <= 0x7E ? (char)b : ' ');
        }
        text[p++] = '\n';
        text[p] = '\0';
        fputs(text, out);
    }
    fputs("\n", out);
}
