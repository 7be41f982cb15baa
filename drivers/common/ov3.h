// ov3: the request-string parser of the driver request protocol, and the escape
// forms used for trace lines and raw frames.
//
// A request text "key=value&key=value..." is split into an ordered pair list (module
// state, one per process); lookups give the first pair with the key. Blanks around
// pieces, keys and values are ignored; a piece without "=" is dropped.
#pragma once
#include <cstdio>

// Empties the pair list; returns its argument unchanged.
int ov3_init(int v);
// Empties the pair list and fills it from text, which is modified in place.
// Always 0.
int ov3_parse(char* text);
// Value of the first pair whose key equals key exactly, or nullptr. Valid until the
// next ov3_parse.
const char* ov3_value(const char* key);
// Diagnostic: every pair as "(key),(value)" on the stream, then a flush.
void ov3_printAll(FILE* stream);

// Text form (gatex1d): tab, CR, LF and backslash as two-character escapes.
namespace ov3_text {
// Rewrites text in place; the buffer must hold 2 * strlen(text) + 1 bytes.
// Returns the length before escaping.
int escape(char* text);
// Undoes escape in place (\t \r \n \\; other sequences stay). Returns text.
char* unescape(char* text);
}  // namespace ov3_text

// Byte form (gatex2d): as the text form, and every other byte outside 33..126 as
// \xhh, so binary frames become printable.
namespace ov3_bytes {
// Escapes the first length bytes of data in place; the buffer must hold
// 4 * length + 1 bytes. Returns the length of the escaped text.
int escape(char* data, int length);
// Undoes escape in place, \xhh included; returns the length of the result, which may
// contain zero bytes.
int unescape(char* text);
}  // namespace ov3_bytes
