// A small FTP client of our own for Linux: USER, PASS, TYPE I, PASV, CWD and
// STOR over one control connection, with WinInet's error numbering so that the
// failure reports read the same as on Windows.
#pragma once

#include <memory>
#include <string>

#include "../../ftp_reply.h"
#include "../../inet_codes.h"
#include "../../platform.h"
#include "net.h"

namespace uplder::posix {

struct FtpTimeouts {
    uint32_t connectMs = 30000;  // control and data connections
    uint32_t replyMs = 60000;    // each server reply
    uint32_t dataMs = 60000;     // each wait while sending file data
};

class PosixFtpClient : public FtpClient {
public:
    explicit PosixFtpClient(FtpTimeouts t = {}) : m_timeouts(t) {}
    std::unique_ptr<FtpConnection> connect(const std::string& server, uint16_t port,
                                           const std::string& user, const std::string& password,
                                           bool passive) override;
    bool lastResponseInfo(std::string& text) override;

    // Kept per client, as WinInet keeps it per thread.
    void setLastResponse(const std::string& t) { m_lastResponse = t; m_haveResponse = true; }
    const FtpTimeouts& timeouts() const { return m_timeouts; }

private:
    FtpTimeouts m_timeouts;
    std::string m_lastResponse;
    bool m_haveResponse = false;
};

}  // namespace uplder::posix
