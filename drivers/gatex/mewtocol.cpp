// mewtocol: see mewtocol.h.
#include "mewtocol.h"

#include <cstdio>

#include "hex.h"

int pm_frame_read(char* out, size_t cap, int station, int first, int last) {
    return snprintf(out, cap, "%%%02d#RDD%05d%05d**\r", station, first, last);
}

int pm_frame_ident(char* out, size_t cap, int station) {
    return snprintf(out, cap, "%%%02d#RDD0012600129**\r", station);
}

int pm_frame_probe2(char* out, size_t cap, int station, int block) {
    return snprintf(out, cap, "%%%02d#RDD%03d40%03d41**\r", station, block, block);
}

int pm_frame_probe1(char* out, size_t cap, int station, int block) {
    return snprintf(out, cap, "%%%02d#RDD%03d40%03d43**\r", station, block, block);
}

PmAnswer pm_examine(const char* answer, int len) {
    PmAnswer a;
    if (!answer || len <= 3) return a;
    if (answer[3] == '$') {
        a.kind = PmAnswerKind::Data;
        // The line end is not register text.
        int end = len;
        while (end > 6 && (answer[end - 1] == '\n' || answer[end - 1] == '\r')) end--;
        a.data = len > 6 ? answer + 6 : answer + len;
        a.datalen = end > 6 ? end - 6 : 0;
    } else if (answer[3] == '!' && len >= 7) {
        a.kind = PmAnswerKind::Error;
        a.code[0] = answer[4];
        a.code[1] = answer[5];
    }
    return a;
}

bool pm_decode(const PmAnswer& a, int nregs, unsigned* value) {
    if (a.kind != PmAnswerKind::Data || (nregs != 1 && nregs != 2) || a.datalen < 4 * nregs) return false;
    *value = nregs == 1 ? hex_getushort(a.data) : hex_getuint(a.data);
    return true;
}
