// text: small string helpers shared by the parsers of the driver framework.
#pragma once

// The blanks of the protocol and the configuration files: space, \t \n \v \f \r.
inline bool drv_isblank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Skips leading blanks and overwrites trailing blanks with string ends; returns the
// first character that is not a blank. Never looks before s.
char* drv_trim(char* s);

// atoi without its undefined behaviour: leading blanks, optional sign, digits; the
// value saturates at the int range instead of overflowing.
int drv_atoi(const char* s);
