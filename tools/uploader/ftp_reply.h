// FTP control-connection replies (RFC 959, 4.2): an incremental parser that
// turns received bytes into complete replies (code and text), and the address
// of a passive-mode reply. Pure functions over bytes; the platform's FTP client
// feeds it whatever the server sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace uplder {

class FtpReplyParser {
public:
    // A line longer than this is cut; a reply's text stops growing at kMaxText.
    static constexpr size_t kMaxLine = 4096;
    static constexpr size_t kMaxText = 16384;

    // Consumes bytes up to and including the end of the first complete reply and
    // returns how many it took; with no reply completed it takes all of them.
    size_t feed(const char* data, size_t len);
    bool complete() const { return m_complete; }
    // Reply code 100..599, or 0 when the first line did not start with one.
    int code() const { return m_code; }
    // The reply's lines joined by "\r\n", without the final line end.
    const std::string& text() const { return m_text; }
    // Ready for the next reply.
    void reset();

private:
    void endLine();

    std::string m_line;
    std::string m_text;
    int m_code = 0;
    bool m_multi = false;
    bool m_firstLine = true;
    bool m_complete = false;
};

// Host and port of a "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)" text: the
// first run of six comma-separated numbers 0..255. False when there is none.
bool parsePasvReply(const std::string& text, uint8_t host[4], uint16_t& port);

}  // namespace uplder
