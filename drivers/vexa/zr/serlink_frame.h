// serlink_frame: the RS-485 frames of the sensor network as pure functions over
// bytes. Both directions use STX, body, ETX, two check characters, CR; the check
// value is the XOR of every byte after STX up to and including ETX, sent as two
// upper-case hexadecimal characters. Nothing here touches a descriptor: the
// serial shell feeds the receiver whatever chunks the line delivers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

enum : uint8_t { ZR_STX = 0x02, ZR_ETX = 0x03, ZR_CR = 0x0D };
enum : size_t { ZR_FRAME_MAX = 1024 };

// Two check characters of value and a terminating zero into text[3].
void bcc_ascii(uint8_t value, char* text);
// 0-9 -> '0'-'9'; any other number n -> the character n + 55 (10-15 -> 'A'-'F').
void i10toc16(int number, char* character);
// '0'-'9' -> 0-9; any other character -> its code minus 55 ('a' gives 42).
void c16toi10(char character, int* number);

// XOR of bytes [from, to) of a frame.
uint8_t zr_bcc(const uint8_t* bytes, size_t n);

// Builds the command frame of a transceiver command into out (cap bytes, at
// least 64): STX, body, ETX, check characters, CR. The time broadcast formats
// now. Returns the frame length, or -2 when the command has no frame.
int zr_build_frame(int command, char node, char param, const struct tm& now, uint8_t* out,
                   size_t cap);

// The answer receiver's state for one exchange. Bytes past the 1024-byte frame
// buffer are not stored (STX still restarts and CR still ends a frame whose ETX
// was stored), so an endless answer cannot run over the buffer.
struct ZrReceiver {
    uint8_t frame[ZR_FRAME_MAX];
    size_t len;
    bool started;
    bool eot;
    uint8_t bcc;
    int result;  // ZR_RCV_MORE until reception ended
};
enum : int { ZR_RCV_MORE = 1 };  // a final result is negative or a length of at least 3

void zr_rcv_init(ZrReceiver& r);
// Takes one chunk. Returns ZR_RCV_MORE while the frame is incomplete, else the
// final result: the stored length (STX through the check characters) or -2 for a
// check error. Bytes of the chunk after the end are ignored. With `out` set the
// diagnostics ("Rcv finish!!", "BCC ERROR", the dump, "chk = ..") go there.
int zr_rcv_feed(ZrReceiver& r, const uint8_t* chunk, size_t n, FILE* out);

// The diagnostic hex dump of bytes[0, size); the last line shows 16 positions
// of the caller's buffer, which must hold the rounded-up size (cap bytes).
void buf_dump_to(FILE* out, const uint8_t* bytes, size_t size, size_t cap);
