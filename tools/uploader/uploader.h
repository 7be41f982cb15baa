// The uploader core: the state of one run and the procedures of the console
// flow, the FTP transfer and the remote command session. Everything here is
// portable; the world is reached through Platform (platform.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device_model.h"
#include "messages.h"
#include "exceptions.h"
#include "platform.h"

namespace uplder {

// Fixed values of the appliance's accounts and sessions.
inline constexpr const char* kUser = "root";
inline constexpr const char* kPassword = "brolt362";
inline constexpr const char* kFilesFolder = "files";
inline constexpr const char* kPackageMarker = ".inc";
inline constexpr uint32_t kWorkDirBuffer = 5000;
inline constexpr uint32_t kPauseMs = 500;
inline constexpr uint32_t kUnpackPeriodMs = 90000;
inline constexpr uint32_t kResetPeriodMs = 30000;
inline constexpr uint16_t kFtpPort = 21;
inline constexpr uint16_t kTelnetPort = 23;

// The session socket with the session's time-out flag. One instance serves
// every session of the run; the flag is never cleared once set.
class CTimedSocket {
public:
    explicit CTimedSocket(SessionSocket& s) : m_sock(s) {}
    SessionSocket& sock() { return m_sock; }
    bool timedOut() const { return m_timedOut; }
    void markTimedOut() { m_timedOut = true; }

private:
    SessionSocket& m_sock;
    bool m_timedOut = false;
};

// One direction of a remote session over the timed socket, with a 4096-byte
// buffer like the archive it stands for.
class CTelnetArchive {
public:
    enum Mode { Load, Store };
    static constexpr size_t kBufferSize = 4096;

    CTelnetArchive(CTimedSocket& s, Mode m) : m_sock(s), m_mode(m) {}

    // Reader side.
    uint8_t readByte();
    bool buffered() const { return m_pos < m_len; }
    void readLine();
    void readAvailable();
    const std::string& lastLine() const { return m_lastLine; }
    const std::vector<uint8_t>& received() const { return m_received; }

    // Writer side.
    void writeByte(uint8_t b);
    void writeText(const std::string& s);
    void flush();

private:
    void sendBuffer();

    CTimedSocket& m_sock;
    Mode m_mode;
    uint8_t m_buf[kBufferSize];
    size_t m_pos = 0;
    size_t m_len = 0;
    std::string m_lastLine;
    std::vector<uint8_t> m_received;
};

// The state of one run of the program.
struct Uplder {
    explicit Uplder(Platform& p) : plat(p), timedSocket(p.socket) {}

    Platform& plat;
    CDeviceModel* model = nullptr;
    std::string deviceAddress;
    uint16_t ftpPort = kFtpPort;
    uint16_t telnetPort = kTelnetPort;

    bool success = false;      // read by the console flow after doFileTransfer
    int filesTotal = 0;
    int filesDone = 0;         // never reset: one transfer per process
    bool loginSeen = false;    // "login:" seen in some session of this run
    std::unique_ptr<FtpConnection> ftp;
    CTimedSocket timedSocket;

    // Output helpers: a "newline" is a line feed followed by a flush.
    void out(const std::string& s) { plat.console.write(s); }
    void newline() { plat.console.write("\n"); plat.console.flush(); }
    void line(const std::string& s) { out(s); newline(); }
    void msg(int id) { out(uplder_text(id)); }
    void msgLine(int id) { line(uplder_text(id)); }
    void msgLine(int id, const std::string& arg) { line(uplder_format(id, arg)); }
    static std::string uplder_text(int id) {
        const char* t = uplder_msg(id);
        return t ? t : "";
    }
};

// Package transfer over FTP.
void doFileTransfer(Uplder& u);
void uploadTree(Uplder& u);
int countFiles(Uplder& u, const std::string& path);
void walkFolder(Uplder& u, const std::string& name, std::string localPath, std::string remotePath);
void putOneFile(Uplder& u, const DirEntry& entry, const std::string& localPath);
void showProgress(Uplder& u, int percent);

// Remote command session.
void receiveStep(Uplder& u, CTelnetArchive& reader, CTelnetArchive& writer, bool readAll);
void connectTelnet(Uplder& u, uint32_t periodMs);
void negotiateUntilLogin(Uplder& u);
void loginAsRoot(Uplder& u);
void untarAndRemove(Uplder& u, const std::string& fullPath, const std::string& dirPath);
void sendResetCommand(Uplder& u);
void doTelnetUnTar(Uplder& u, const std::string& fullPath, const std::string& dirPath);
void doDeviceReset(Uplder& u);

// The console program: start-up, address, menu, chosen function, exit prompt.
// args holds the whole command line, program path first. Returns the exit code.
int uplderMain(Uplder& u, const std::vector<std::string>& args, bool frameworkReady = true);

}  // namespace uplder
