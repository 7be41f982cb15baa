// scale: decimal scaling of meter and node readings. The field devices deliver
// integers in hundredths, tenths or thousandths; the answer carries them as decimal
// text with a fixed number of decimals, made by inserting a decimal point into the
// digit string (no floating point, so no rounding). Shared by gatex1d and gatex2d.
#pragma once
#include <cstddef>

// out receives the digits (a string of decimal digits without sign) with a decimal
// point before the last 1, 2 or 3 of them, padded with zeros in front:
//   div10("2301") = "230.1", div100("5") = "0.05", div1000("1234") = "1.234".
// At most cap bytes are written, string end included; a result that does not fit
// is cut. Returns out.
char* div10(char* out, size_t cap, const char* digits);
char* div100(char* out, size_t cap, const char* digits);
char* div1000(char* out, size_t cap, const char* digits);

// Same for a fixed-size array.
template <size_t N> char* div10(char (&out)[N], const char* digits) { return div10(out, N, digits); }
template <size_t N> char* div100(char (&out)[N], const char* digits) { return div100(out, N, digits); }
template <size_t N> char* div1000(char (&out)[N], const char* digits) { return div1000(out, N, digits); }

// Scales by a divisor of 1, 10, 100 or 1000 (any other divisor copies the digits).
char* scale_by(char* out, size_t cap, const char* digits, int divisor);
