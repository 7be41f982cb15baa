// The FTP client on Windows: WinInet (InternetOpen, InternetConnect with the
// FTP service, FtpSetCurrentDirectory, FtpPutFile). wininet.h is kept out of
// this header: its macros collide with names of the core.
#pragma once

#include <memory>
#include <string>

#include "../../platform.h"

namespace uplder::win32 {

// The error text of a failed WinInet call, as the framework's internet
// exception gives it: the description of code without its line end (from
// wininet.dll's message table, else the system's, else our own), followed by
// a line feed and the server's last reply when there is one.
std::string ftpErrorText(int32_t code, const std::string* wininetText, const std::string* systemText,
                         const std::string& lastResponse);

class WinInetFtpClient : public FtpClient {
public:
    std::unique_ptr<FtpConnection> connect(const std::string& server, uint16_t port, const std::string& user,
                                           const std::string& password, bool passive) override;
    bool lastResponseInfo(std::string& text) override;
};

}  // namespace uplder::win32
