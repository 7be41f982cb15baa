// Text of the uploader's Windows layer. The core speaks UTF-8; Windows APIs
// take UTF-16 (conversions shared with pakrelW, tools/common/win32), and the
// console program's byte output is in code page 932, the ANSI code page of the
// Japanese systems the uploader is made for.
#pragma once

#include <cstdint>
#include <string>

#include "win32/textconv.h"

namespace uplder::win32 {

inline constexpr unsigned kConsoleCodePage = 932;

// The conversions shared with pakrelW.
using orv::win32::fromCodePage;
using orv::win32::narrow;
using orv::win32::toCodePage;
using orv::win32::widen;

// What a text-mode stream writes: every line feed becomes CR LF (a CR LF in
// the text therefore becomes CR CR LF, as it does for the framework's stream).
std::string textModeLineEnds(const std::string& s);

// s without the line ends at its end (message-table texts end in CR LF).
std::string withoutLineEnd(std::string s);

// Collects the bytes of one input line from a byte stream: a line feed ends
// it, a CR right before it is dropped, and bytes beyond maxBytes are dropped so
// that a flood cannot grow the line.
class LineCollector {
public:
    explicit LineCollector(size_t maxBytes = 4096) : m_max(maxBytes) {}
    // True when b ended the line.
    bool feed(char b);
    // The line so far (CR before the line feed removed), then empty again.
    std::string take();

private:
    size_t m_max;
    std::string m_line;
};

}  // namespace uplder::win32
