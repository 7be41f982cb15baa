// orvane3uploader for Linux: wires the portable core to the POSIX platform.
//
// The appliance is always reached on the protocols' ports 21 and 23. Tests that
// cannot give a server those ports set ORV_UPLOADER_FTP_PORT and
// ORV_UPLOADER_TELNET_PORT; nothing else reads them.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../../uploader.h"
#include "ftp_client.h"
#include "posix_platform.h"
#include "session_socket.h"

namespace {

uint16_t portFromEnv(const char* name, uint16_t fallback) {
    const char* v = std::getenv(name);
    if (!v || !*v) return fallback;
    char* end = nullptr;
    long p = std::strtol(v, &end, 10);
    if (*end != '\0' || p < 1 || p > 65535) return fallback;
    return static_cast<uint16_t>(p);
}

}  // namespace

int main(int argc, char** argv) {
    uplder::posix::PosixConsole console;
    uplder::posix::PosixFiles files;
    uplder::posix::PosixFtpClient ftp;
    uplder::posix::PosixSessionSocket socket;
    uplder::posix::PosixErrorText errors;
    uplder::Platform platform{console, files, ftp, socket, errors};

    uplder::Uplder u(platform);
    u.ftpPort = portFromEnv("ORV_UPLOADER_FTP_PORT", uplder::kFtpPort);
    u.telnetPort = portFromEnv("ORV_UPLOADER_TELNET_PORT", uplder::kTelnetPort);

    std::vector<std::string> args(argv, argv + argc);
    return uplder::uplderMain(u, args);
}
