// mewtocol: the MEWTOCOL-COM frames gatex1d exchanges with its meters, as pure
// functions over text. The daemon only ever reads data registers ("RD", memory
// "D"); it sends "**" instead of a block check code and does not check the code of
// answers either: an answer is judged by its marker at position 3 and its length.
#pragma once
#include <cstddef>

// "%%%02d#RDD%05d%05d**\r": read registers first..last of a station. Returns the
// frame's length (or what snprintf returns when cap is too small).
int pm_frame_read(char* out, size_t cap, int station, int first, int last);
// The scan's fixed forms: identification (registers 126..129), and the presence
// probes of block b for a kind-2 meter (b40..b41) and a kind-1 meter (b40..b43).
int pm_frame_ident(char* out, size_t cap, int station);
int pm_frame_probe2(char* out, size_t cap, int station, int block);
int pm_frame_probe1(char* out, size_t cap, int station, int block);

enum class PmAnswerKind { Data, Error, Invalid };

struct PmAnswer {
    PmAnswerKind kind = PmAnswerKind::Invalid;
    const char* data = nullptr;  // Data: the register text from position 6 on
    int datalen = 0;             // bytes of it that were received
    char code[3] = {0, 0, 0};    // Error: the two-character error code
};

// Judges the len bytes of an answer: longer than 3 with "$" at position 3 is data;
// otherwise at least 7 with "!" at position 3 is an error answer; anything else,
// no answer included, is invalid.
PmAnswer pm_examine(const char* answer, int len);

// The value of a data answer: one register (16 bits) or two (32 bits, low word
// first). False when the answer holds fewer register characters than that: a cut
// answer never lends bytes it did not carry.
bool pm_decode(const PmAnswer& a, int nregs, unsigned* value);
