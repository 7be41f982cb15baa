// wintext: line ends and input lines of the uploader's console.
#include "wintext.h"

namespace uplder::win32 {

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
