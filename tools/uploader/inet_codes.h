// WinInet's numbering of FTP failures, shared by every platform's FTP client so
// that the failure reports read the same everywhere, and our own descriptions
// of the codes for where the system has none (the Linux client always, the
// Windows client when wininet.dll's message table lacks the code).
#pragma once

#include <cstdint>
#include <string>

namespace uplder {

enum InetError : int32_t {
    INET_TIMEOUT = 12002,
    INET_EXTENDED_ERROR = 12003,
    INET_NAME_NOT_RESOLVED = 12007,
    INET_LOGIN_FAILURE = 12015,
    INET_CANNOT_CONNECT = 12029,
    INET_CONNECTION_ABORTED = 12030,
};

// Our description of code (one line, no line end); false for any other code.
bool inetDescription(int32_t code, std::string& text);

}  // namespace uplder
