// orvane3uploader for Windows: wires the portable core to WinInet, Winsock,
// the Win32 file search and the console.
//
// The appliance is always reached on the protocols' ports 21 and 23. Tests that
// cannot give a server those ports set ORV_UPLOADER_FTP_PORT and
// ORV_UPLOADER_TELNET_PORT; nothing else reads them.
#define NOMINMAX
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>

#include <string>
#include <vector>

#include "../../uploader.h"
#include "args.h"
#include "session_socket.h"
#include "win_platform.h"
#include "wininet_ftp.h"

int main() {
    uplder::win32::WinConsole console;
    uplder::win32::WinFiles files;
    uplder::win32::WinInetFtpClient ftp;
    uplder::win32::WinSessionSocket socket;
    uplder::win32::WinErrorText errors;
    uplder::Platform platform{console, files, ftp, socket, errors};

    uplder::Uplder u(platform);
    u.ftpPort = uplder::win32::portFromText(std::getenv("ORV_UPLOADER_FTP_PORT"), uplder::kFtpPort);
    u.telnetPort = uplder::win32::portFromText(std::getenv("ORV_UPLOADER_TELNET_PORT"), uplder::kTelnetPort);

    // The arguments as Windows holds them (UTF-16), so that nothing is lost to
    // the ANSI code page on the way.
    std::vector<std::string> args;
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    bool ready = argv != nullptr;
    for (int i = 0; ready && i < argc; ++i) args.push_back(uplder::win32::narrow(argv[i]));
    if (argv) LocalFree(argv);
    return uplder::uplderMain(u, args, ready);
}
