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

bool toCodePageExact(const std::string& utf8, unsigned cp, std::string& out) {
    out.clear();
    if (utf8.empty()) return true;
    // A byte that is not UTF-8 has no character to convert.
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0) <= 0)
        return false;
    std::wstring w = widen(utf8);
    BOOL usedDefault = FALSE;
    int n = WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                                &usedDefault);
    if (n <= 0 || usedDefault) return false;
    out.assign(static_cast<size_t>(n), '\0');
    n = WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                            &usedDefault);
    if (n <= 0 || usedDefault) {
        out.clear();
        return false;
    }
    out.resize(static_cast<size_t>(n));
    return true;
}

}  // namespace orv::win32
