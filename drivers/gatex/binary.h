// binary: the register data of Modbus answers. Registers travel high byte first;
// a 32-bit float spans two registers, high word first.
#pragma once

// A signed 16-bit value from two bytes, high byte first: FF FE is -2.
int binary_getInt16(const unsigned char* bytes);
// An IEEE-754 single from four bytes, most significant first: 43 66 80 00 is 230.5.
float binary_getFloat32(const unsigned char* bytes);
