// names: entry name decoding and cleaning, FAT dates, UTF-16 conversion.
#include "names.h"

#include <cstdio>

namespace pakrel {
namespace {

// Decodes one UTF-8 sequence at s[i]; returns its length or 0 when malformed.
size_t utf8Seq(const std::string& s, size_t i, uint32_t& cp) {
    auto b = [&](size_t k) { return uint8_t(s[k]); };
    uint8_t c = b(i);
    size_t len;
    uint32_t min;
    if (c < 0x80) { cp = c; return 1; }
    if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; min = 0x80; }
    else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; min = 0x800; }
    else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; min = 0x10000; }
    else return 0;
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (b(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

void putUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) out.push_back(char(cp));
    else if (cp < 0x800) { out.push_back(char(0xC0 | cp >> 6)); out.push_back(char(0x80 | (cp & 0x3F))); }
    else if (cp < 0x10000) {
        out.push_back(char(0xE0 | cp >> 12));
        out.push_back(char(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | cp >> 18));
        out.push_back(char(0x80 | (cp >> 12 & 0x3F)));
        out.push_back(char(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

bool onlyDots(const std::string& part) {
    if (part.empty()) return false;
    for (char c : part)
        if (c != '.') return false;
    return true;
}

}  // namespace

bool isWellFormedUtf8(const std::string& s, size_t* chars) {
    size_t n = 0;
    for (size_t i = 0; i < s.size(); ++n) {
        uint32_t cp;
        size_t len = utf8Seq(s, i, cp);
        if (len == 0) return false;
        i += len;
    }
    if (chars) *chars = n;
    return true;
}

std::string decodeEntryName(const std::string& raw, const CodePage& cp) {
    size_t chars = 0;
    if (isWellFormedUtf8(raw, &chars)) {
        size_t extra = raw.size() - chars;
        if (extra >= 2) return raw;
        if (extra == 1) {
            for (char c : raw)
                if (uint8_t(c) >= 0x80) {
                    if (!cp.isLeadByte(uint8_t(c))) return raw;
                    break;
                }
        }
        if (extra == 0) return raw;  // plain ASCII reads the same either way
    }
    return cp.toUtf8(raw);
}

std::string cleanEntryName(const std::string& name) {
    std::string s;
    s.reserve(name.size());
    for (char c : name) {
        switch (c) {
        case '\n': case '\r': case '"': case '*': case ':': case '<': case '>': case '?': case '|':
            s.push_back('_');
            break;
        case '/':
            s.push_back('\\');
            break;
        default:
            s.push_back(c);
        }
    }
    // One leading backslash goes, then every "..\": "a..\b.txt" becomes
    // "ab.txt". A removal can join what was left and right of it into a new
    // "..\" ("...\.\x"), so the search goes on from just before each removal
    // until none is left.
    if (!s.empty() && s[0] == '\\') s.erase(0, 1);
    for (size_t from = 0, at; (at = s.find("..\\", from)) != std::string::npos;) {
        s.erase(at, 3);
        from = at >= 2 ? at - 2 : 0;
    }
    // Containment: rebuild from the folder parts, dropping further leading and
    // doubled separators and every part made only of dots ("a\.." would name
    // the destination's folder itself, "." and "..." the folder they are in).
    std::string out;
    size_t i = 0;
    while (i <= s.size()) {
        size_t j = s.find('\\', i);
        if (j == std::string::npos) j = s.size();
        std::string part = s.substr(i, j - i);
        bool last = j == s.size();
        if (!part.empty() && !onlyDots(part)) {
            out += part;
            if (!last) out.push_back('\\');
        }
        i = j + 1;
    }
    return out;
}

size_t utf16Length(const std::string& s) { return utf8ToUtf16(s).size(); }

std::string rtrimBlanks(const std::string& s) {
    size_t n = s.size();
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t')) --n;
    return s.substr(0, n);
}

bool finishEntryName(std::string& name) {
    name = rtrimBlanks(name);
    if (name.empty()) return false;
    // A name made only of blanks and separators names no file.
    bool any = false;
    for (char c : name) {
        if (c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|') return false;
        if (c != ' ' && c != '\\' && c != '\t') any = true;
    }
    return any;
}

std::u16string utf8ToUtf16(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        uint32_t cp;
        size_t len = utf8Seq(s, i, cp);
        if (len == 0) { cp = 0xFFFD; len = 1; }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 | cp >> 10));
            out.push_back(char16_t(0xDC00 | (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
    }
    return out;
}

std::string utf16ToUtf8(const std::u16string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        putUtf8(out, c);
    }
    return out;
}

FatDateTime fatSplit(uint16_t date, uint16_t time) {
    FatDateTime t;
    t.year = 1980 + (date >> 9);
    t.month = date >> 5 & 0x0F;
    t.day = date & 0x1F;
    t.hour = time >> 11;
    t.minute = time >> 5 & 0x3F;
    t.second = (time & 0x1F) * 2;
    return t;
}

void fatJoin(const FatDateTime& t, uint16_t& date, uint16_t& time) {
    int y = t.year < 1980 ? 0 : t.year > 2107 ? 127 : t.year - 1980;
    date = uint16_t(y << 9 | (t.month & 0x0F) << 5 | (t.day & 0x1F));
    time = uint16_t((t.hour & 0x1F) << 11 | (t.minute & 0x3F) << 5 | ((t.second / 2) & 0x1F));
}

int weekday(int year, int month, int day) {
    if (month < 3) {
        month += 12;
        year -= 1;
    }
    return (day + (13 * month + 8) / 5 + year + year / 4 - year / 100 + year / 400) % 7;
}

std::string withThousands(uint64_t v) {
    std::string digits = std::to_string(v);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
        out.push_back(digits[i]);
    }
    return out;
}

std::string fatText(uint16_t date, uint16_t time) {
    FatDateTime t = fatSplit(date, time);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return buf;
}

std::string attribText(uint16_t a) {
    std::string s = "----";
    if (a & kAttrReadOnly) s[0] = 'R';
    if (a & kAttrHidden) s[1] = 'H';
    if (a & kAttrSystem) s[2] = 'S';
    if (a & kAttrArchive) s[3] = 'A';
    return s;
}

}  // namespace pakrel
