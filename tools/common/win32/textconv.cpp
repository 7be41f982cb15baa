// textconv: MultiByteToWideChar / WideCharToMultiByte, sized by a first call.
#include "win32/textconv.h"

#include <windows.h>

namespace orv::win32 {
namespace {

std::wstring toWide(const std::string& s, unsigned cp) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring w(static_cast<size_t>(n), L'\0');
    n = MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    w.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return w;
}

std::string fromWide(const std::wstring& w, unsigned cp) {
    if (w.empty()) return {};
    int n = WideCharToMultiByte(cp, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string s(static_cast<size_t>(n), '\0');
    n = WideCharToMultiByte(cp, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    s.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return s;
}

}  // namespace

std::wstring widen(const std::string& utf8) { return toWide(utf8, CP_UTF8); }
std::string narrow(const std::wstring& utf16) { return fromWide(utf16, CP_UTF8); }
std::string toCodePage(const std::string& utf8, unsigned cp) { return fromWide(widen(utf8), cp); }
std::string fromCodePage(const std::string& bytes, unsigned cp) { return narrow(toWide(bytes, cp)); }

}  // namespace orv::win32
