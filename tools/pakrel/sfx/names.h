// names: text helpers of the self-extractor. Entry names are decoded (UTF-8 or the
// ANSI code page by the rule below) and cleaned so that no name can leave the
// destination folder; FAT dates and times are split and joined; UTF-16 text of
// the package block is converted.
#pragma once
#include <cstdint>
#include <string>

#include "fileio.h"

namespace pakrel {

// UTF-8 check. chars receives the number of code points.
bool isWellFormedUtf8(const std::string& s, size_t* chars = nullptr);

// The entry name as UTF-8: a well-formed UTF-8 name that uses multi-byte
// sequences is taken as UTF-8 (bytes exceed characters by 2 or more, or by
// exactly 1 when the first multi-byte lead byte is not a lead byte of the ANSI
// code page); any other name is decoded from the ANSI code page.
std::string decodeEntryName(const std::string& raw, const CodePage& cp);

// Replaces LF, CR, '"', '*', ':', '<', '>', '?' and '|' by '_' and takes "/" as
// a folder separator like "\"; drops one leading backslash and removes every
// "..\" ("a..\b.txt" -> "ab.txt"); then, so that no name can leave the
// destination, drops the remaining empty folder parts (leading or doubled
// separators) and every part made only of dots (".", "..", "...").
std::string cleanEntryName(const std::string& name);

// Longest entry name, in characters as Windows counts them (UTF-16 code units).
constexpr size_t kMaxNameChars = 260;
size_t utf16Length(const std::string& utf8);

// Trailing blanks removed; empty or still holding a character that no file
// name may hold -> false.
bool finishEntryName(std::string& name);

std::string rtrimBlanks(const std::string& s);

// UTF-16 (host order code units) <-> UTF-8. Unpaired surrogates and invalid
// bytes become U+FFFD.
std::u16string utf8ToUtf16(const std::string& s);
std::string utf16ToUtf8(const std::u16string& s);

struct FatDateTime {
    int year = 1980, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};
FatDateTime fatSplit(uint16_t date, uint16_t time);
void fatJoin(const FatDateTime& t, uint16_t& date, uint16_t& time);
// Day of the week, 0 = Sunday (January and February counted as months 13 and
// 14 of the previous year).
int weekday(int year, int month, int day);
// 1234567 -> "1,234,567".
std::string withThousands(uint64_t v);
// "YYYY-MM-DD HH:MM:SS".
std::string fatText(uint16_t date, uint16_t time);
// Four characters from R, H, S, A or "-".
std::string attribText(uint16_t attribs);

}  // namespace pakrel
