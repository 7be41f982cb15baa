// hex: decoding of the hexadecimal fields of meter answers. Multi-byte fields are
// sent low byte first, two characters per byte.
#pragma once

// Value of one hexadecimal character (either case); anything else gives 0.
int h2i(char c);
// Four characters at text, low byte first: "0A01" is 0x010A.
unsigned short hex_getushort(const char* text);
// Eight characters at text, low byte first: "0A000000" is 10.
unsigned int hex_getuint(const char* text);
