// util: hexadecimal text of Modbus frames, used by the rescan's trace lines.
#pragma once

// Rewrites length bytes of buffer in place as 2*length lower-case hexadecimal
// characters and a string end; the buffer must hold 2*length + 1 bytes. Returns the
// length of the text.
int mb2a(char* buffer, int length);
// Rewrites a text of hexadecimal pairs (either case) in place as bytes, two
// characters per byte; a character that is not a hexadecimal digit counts as 0, and
// a lone last character is the high half of a last byte. Returns the byte count.
int ma2b(char* text);
