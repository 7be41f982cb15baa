// textconv: UTF-8 <-> UTF-16 and code-page conversions for the Windows layers
// of the uploader and of pakrelW. Their cores speak UTF-8; the W functions take
// UTF-16, and byte text of the system (console output, cabinet entry names)
// comes in an ANSI code page. One copy, so both programs treat a bad byte alike:
// it becomes U+FFFD.
#pragma once

#include <string>

namespace orv::win32 {

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& utf16);

// UTF-8 to the bytes of code page cp; characters the code page lacks become
// its default character ("?").
std::string toCodePage(const std::string& utf8, unsigned cp);
// UTF-8 to the bytes of code page cp, only when every character has its own
// bytes there (no default character, no best-fit look-alike); false otherwise.
bool toCodePageExact(const std::string& utf8, unsigned cp, std::string& out);
// Bytes of code page cp to UTF-8.
std::string fromCodePage(const std::string& bytes, unsigned cp);

}  // namespace orv::win32
