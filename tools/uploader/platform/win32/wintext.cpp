// wintext: UTF-8 to UTF-16 and code page 932 conversions of the Windows layer;
// see wintext.h.
#include "wintext.h"

#include <windows.h>

#include <vector>

namespace uplder::win32 {

namespace {

std::wstring toWide(const std::string& s, unsigned cp) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string fromWide(const std::wstring& w, unsigned cp) {
    if (w.empty()) return {};
    int n = WideCharToMultiByte(cp, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(cp, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

}  // namespace

std::wstring widen(const std::string& utf8) { return toWide(utf8, CP_UTF8); }
std::string narrow(const std::wstring& utf16) { return fromWide(utf16, CP_UTF8); }
std::string toCodePage(const std::string& utf8, unsigned cp) { return fromWide(widen(utf8), cp); }
std::string fromCodePage(const std::string& bytes, unsigned cp) { return narrow(toWide(bytes, cp)); }

std::string textModeLineEnds(const std::string& s) {
    std::string out;
    out.reserve(s.size() + s.size() / 8);
    for (char c : s) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string withoutLineEnd(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

bool LineCollector::feed(char b) {
    if (b == '\n') return true;
    if (m_line.size() < m_max) m_line += b;
    return false;
}

std::string LineCollector::take() {
    std::string l;
    l.swap(m_line);
    if (!l.empty() && l.back() == '\r') l.pop_back();
    return l;
}

}  // namespace uplder::win32
