// utframe: the Modbus/TCP frames gatex2d exchanges with its node gateways, the
// leaf names it makes of their channels and the toq table, as pure functions.
//
// Every request is "read holding registers" (function 3) with transaction, protocol
// and unit identifiers 0. Answers are judged by their function code and length only:
// the header bytes 0..6 are not examined.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int kUtRequestLen = 12;
constexpr int kUtChannels = 64;  // channels per gateway; the configuration has no key for it

// The three requests gatex2d sends, with the length of their full answers.
constexpr int kUtIdentityFirst = 3013, kUtIdentityRegs = 3, kUtIdentityAnswer = 15;
constexpr int kUtChannelFirst = 2000, kUtChannelStep = 10, kUtChannelRegs = 5, kUtChannelAnswer = 19;
constexpr int kUtBlockStep = 20, kUtBlockRegs = 18, kUtBlockAnswer = 45;
// A block's registers must all have 16-bit addresses: 20*(b-1)+17 <= 65535.
constexpr int kUtMaxBlock = (65536 - kUtBlockRegs) / kUtBlockStep + 1;
// The shortest answer from which get_value takes the age register (bytes 11..12).
constexpr int kUtValueMinAnswer = 13;

// The 12-byte read-holding-registers request for count registers from first.
void ut_request(unsigned char out[kUtRequestLen], int first, int count);
inline int ut_channel_first(int j) { return kUtChannelFirst + kUtChannelStep * j; }
inline int ut_block_first(int b) { return kUtBlockStep * (b - 1); }

enum class UtAnswerKind { Normal, Exception, Invalid };
struct UtAnswer {
    UtAnswerKind kind = UtAnswerKind::Invalid;
    int code = 0;  // Exception: the exception code (byte 8)
};
// A normal answer has function code 3 and at least need bytes; an answer of at least
// 9 bytes with another function code is an exception; anything else is invalid.
UtAnswer ut_examine(const unsigned char* answer, int len, int need);

// Block number of a leaf text: the decimal number at character 6 (the eight digits of
// a leaf name), block (n-1)/20+1 truncated toward zero; no leaf is block 1. False
// when the text is too short to hold the number (fewer than 7 characters); block is
// then 0.
bool ut_leaf_block(const char* leaf, int* block);

// Toq table: where a type of quantity lies in the 18-register block.
enum class UtType { Float32 };
struct UtRnd {
    int offset = -1;  // registers from the block's first; -1 when the toq is not offered
    UtType type = UtType::Float32;
    int scale = 1;    // the value is multiplied by this
};
// Exact, case-sensitive; the first row wins. Absent, empty or unknown: offset -1.
void ut_toq2rnd(UtRnd* result, const char* toq);

// The value kinds listed for a channel of the given type byte, in order, as the four
// characters "D4_1"; returns how many (0 for types without readings). kinds may be
// null to count only.
int ut_kinds(int type, const char* const** kinds);

// One leaf name, "%02X%02X%02X%08dD%c_%c:%s:%d", without the separating comma.
int ut_leafname(char* out, size_t cap, const unsigned char identity[6], int channel, const char* kind,
                const char* host, int port);
