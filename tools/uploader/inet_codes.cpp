// inet_codes: our descriptions of WinInet's FTP failure codes, for the Linux client
// and for Windows systems whose wininet.dll lacks one; see inet_codes.h.
#include "inet_codes.h"

namespace uplder {

bool inetDescription(int32_t code, std::string& text) {
    switch (code) {
    case INET_TIMEOUT: text = "The FTP operation timed out."; return true;
    case INET_EXTENDED_ERROR: text = "The FTP server refused the request; its reply follows."; return true;
    case INET_NAME_NOT_RESOLVED: text = "The FTP server's name or address could not be resolved."; return true;
    case INET_LOGIN_FAILURE: text = "The FTP server refused the login."; return true;
    case INET_CANNOT_CONNECT: text = "No connection to the FTP server could be made."; return true;
    case INET_CONNECTION_ABORTED: text = "The FTP server closed the connection."; return true;
    default: return false;
    }
}

}  // namespace uplder
