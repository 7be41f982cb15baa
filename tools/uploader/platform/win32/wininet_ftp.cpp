// wininet_ftp: the FTP client on Windows through WinInet; wininet.h is included
// here only, its macros collide with names of the core. See wininet_ftp.h.
#define NOMINMAX
#include "wininet_ftp.h"

#include <windows.h>
#include <wininet.h>

#include <vector>

#include "../../inet_codes.h"
#include "win_platform.h"
#include "wintext.h"

namespace uplder::win32 {

std::string ftpErrorText(int32_t code, const std::string* wininetText, const std::string* systemText,
                         const std::string& lastResponse) {
    std::string text;
    if (wininetText) text = withoutLineEnd(*wininetText);
    else if (systemText) text = withoutLineEnd(*systemText);
    else if (!inetDescription(code, text)) text = "WinInet error " + std::to_string(code) + ".";
    std::string reply = withoutLineEnd(lastResponse);
    if (!reply.empty()) text += "\n" + reply;
    return text;
}

namespace {

// One WinInet handle, closed when it goes.
class InetHandle {
public:
    explicit InetHandle(HINTERNET h = nullptr) : m_h(h) {}
    InetHandle(const InetHandle&) = delete;
    InetHandle& operator=(const InetHandle&) = delete;
    ~InetHandle() {
        if (m_h) InternetCloseHandle(m_h);
    }
    HINTERNET get() const { return m_h; }
    HINTERNET release() {
        HINTERNET h = m_h;
        m_h = nullptr;
        return h;
    }
    void reset(HINTERNET h = nullptr) {
        if (m_h) InternetCloseHandle(m_h);
        m_h = h;
    }

private:
    HINTERNET m_h;
};

// The server's last reply as WinInet keeps it for this thread: the length
// first, then the text.
bool lastResponse(std::string& text) {
    DWORD err = 0, len = 0;
    InternetGetLastResponseInfoW(&err, nullptr, &len);
    if (len == 0) return false;
    std::vector<wchar_t> buf(len + 1);
    DWORD cap = len + 1;
    if (!InternetGetLastResponseInfoW(&err, buf.data(), &cap)) return false;
    text = narrow(std::wstring(buf.data(), std::min<DWORD>(cap, len)));
    return true;
}

[[noreturn]] void raise(DWORD code) {
    std::string reply;
    if (!lastResponse(reply)) reply.clear();
    std::string inet, sys;
    bool haveInet = wininetMessage(static_cast<int32_t>(code), inet);
    bool haveSys = !haveInet && systemMessage(static_cast<int32_t>(code), sys);
    throw PlatformError(static_cast<int32_t>(code),
                        ftpErrorText(static_cast<int32_t>(code), haveInet ? &inet : nullptr,
                                     haveSys ? &sys : nullptr, reply));
}

// The session (InternetOpen) and its FTP connection; the connection is
// closed first, then the session.
class WinInetConnection : public FtpConnection {
public:
    WinInetConnection(HINTERNET session, HINTERNET conn) : m_session(session), m_conn(conn) {}
    ~WinInetConnection() override {
        m_conn.reset();
        m_session.reset();
    }
    bool setCurrentDirectory(const std::string& name) override {
        if (!sendable(name)) return false;
        if (FtpSetCurrentDirectoryW(m_conn.get(), widen(name).c_str())) return true;
        m_error = static_cast<int32_t>(GetLastError());
        return false;
    }
    bool putFile(const std::string& localName, const std::string& remoteName) override {
        if (!sendable(remoteName)) return false;
        if (FtpPutFileW(m_conn.get(), widen(localName).c_str(), widen(remoteName).c_str(),
                        FTP_TRANSFER_TYPE_BINARY, 1))
            return true;
        m_error = static_cast<int32_t>(GetLastError());
        return false;
    }
    int32_t lastError() const override { return m_error; }

private:
    // WinInet sends a remote name in the ANSI code page and puts the default
    // character ("?") in place of what that code page lacks, so the appliance
    // would get another name than the telnet lines use. Such a name fails here,
    // with ERROR_NO_UNICODE_TRANSLATION, before anything is sent.
    bool sendable(const std::string& name) {
        std::string bytes;
        if (orv::win32::toCodePageExact(name, CP_ACP, bytes)) return true;
        m_error = ERROR_NO_UNICODE_TRANSLATION;
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return false;
    }

    InetHandle m_session;
    InetHandle m_conn;
    int32_t m_error = 0;
};

}  // namespace

std::unique_ptr<FtpConnection> WinInetFtpClient::connect(const std::string& server, uint16_t port,
                                                          const std::string& user, const std::string& password,
                                                          bool passive) {
    // No agent name, the system's proxy settings, no flags; context 1.
    InetHandle session(InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session.get()) raise(GetLastError());
    HINTERNET conn = InternetConnectW(session.get(), widen(server).c_str(), port, widen(user).c_str(),
                                      widen(password).c_str(), INTERNET_SERVICE_FTP,
                                      passive ? INTERNET_FLAG_PASSIVE : 0, 1);
    if (!conn) raise(GetLastError());
    return std::make_unique<WinInetConnection>(session.release(), conn);
}

bool WinInetFtpClient::lastResponseInfo(std::string& text) { return lastResponse(text); }

}  // namespace uplder::win32
