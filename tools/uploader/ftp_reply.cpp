// ftp_reply: the incremental parser of FTP replies (multi-line ones included) and
// the address of a passive-mode reply; see ftp_reply.h.
#include "ftp_reply.h"

#include <cctype>

namespace uplder {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The reply code at the start of a line, or 0.
int lineCode(const std::string& l) {
    if (l.size() < 3 || !isDigit(l[0]) || !isDigit(l[1]) || !isDigit(l[2])) return 0;
    if (l[0] < '1' || l[0] > '5') return 0;
    if (l.size() > 3 && l[3] != ' ' && l[3] != '-') return 0;
    return (l[0] - '0') * 100 + (l[1] - '0') * 10 + (l[2] - '0');
}

}  // namespace

void FtpReplyParser::reset() { *this = FtpReplyParser(); }

void FtpReplyParser::endLine() {
    if (!m_line.empty() && m_line.back() == '\r') m_line.pop_back();
    if (!m_text.empty() && m_text.size() < kMaxText) m_text += "\r\n";
    if (m_text.size() < kMaxText) m_text += m_line.substr(0, kMaxText - m_text.size());

    int c = lineCode(m_line);
    if (m_firstLine) {
        m_firstLine = false;
        m_code = c;
        m_multi = c != 0 && m_line.size() > 3 && m_line[3] == '-';
        // A first line without a code is a complete (malformed) reply: waiting
        // for more would let a confused server stall the client.
        m_complete = !m_multi;
    } else if (c == m_code && (m_line.size() == 3 || m_line[3] == ' ')) {
        m_complete = true;
    }
    m_line.clear();
}

size_t FtpReplyParser::feed(const char* data, size_t len) {
    size_t i = 0;
    while (i < len && !m_complete) {
        char c = data[i++];
        if (c == '\n') {
            endLine();
        } else if (m_line.size() < kMaxLine) {
            m_line += c;  // the rest of an overlong line is dropped
        }
    }
    return i;
}

bool parsePasvReply(const std::string& text, uint8_t host[4], uint16_t& port) {
    for (size_t start = 0; start < text.size(); ++start) {
        if (!isDigit(text[start]) || (start > 0 && isDigit(text[start - 1]))) continue;
        unsigned v[6];
        size_t p = start;
        int n = 0;
        for (; n < 6; ++n) {
            if (p >= text.size() || !isDigit(text[p])) break;
            unsigned x = 0;
            size_t digits = 0;
            while (p < text.size() && isDigit(text[p]) && digits < 4) {
                x = x * 10 + static_cast<unsigned>(text[p] - '0');
                ++p;
                ++digits;
            }
            if (x > 255 || (p < text.size() && isDigit(text[p]))) break;
            v[n] = x;
            if (n < 5) {
                if (p >= text.size() || text[p] != ',') break;
                ++p;
            }
        }
        if (n == 6) {
            for (int k = 0; k < 4; ++k) host[k] = static_cast<uint8_t>(v[k]);
            port = static_cast<uint16_t>(v[4] * 256 + v[5]);
            return true;
        }
    }
    return false;
}

}  // namespace uplder
