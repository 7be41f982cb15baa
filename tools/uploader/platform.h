// The uploader's view of the operating system. The portable core (console
// flow, transfer walk, remote session, failure reports) talks to the world only
// through these interfaces; platform/posix/ implements them with sockets, poll
// and dirent, a Windows layer with WinInet, Winsock and the Win32 file search.
//
// Rules every implementation keeps, because the failure reports print them:
//  - error codes are 32-bit and come from the platform's own numbering for
//    system calls (errno, GetLastError) and WinInet's numbering for FTP
//    (12002 time-out, 12003 extended error with a server reply, ...);
//  - texts are UTF-8; converting them for the console is the console's job;
//  - nothing here throws except FtpClient::connect (PlatformError).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace uplder {

// A failure the platform reports as an exception of its own (the framework's
// CException / CInternetException): only its error text is ever shown.
class PlatformError {
public:
    PlatformError(int32_t code, std::string text) : code_(code), text_(std::move(text)) {}
    int32_t code() const { return code_; }
    // The error text as the framework would format it, without a final newline.
    const std::string& text() const { return text_; }

private:
    int32_t code_;
    std::string text_;
};

// Standard input and output of the console program.
class Console {
public:
    virtual ~Console() = default;
    virtual void write(const std::string& utf8) = 0;
    virtual void flush() = 0;
    virtual void writeError(const std::string& utf8) = 0;  // standard error
    // One line without its line end. False at end of input (the line is then empty).
    virtual bool readLine(std::string& line) = 0;
    // Drops input that was typed ahead and not read yet.
    virtual void discardTypeahead() = 0;
};

// One entry of a folder listing.
struct DirEntry {
    std::string name;
    bool isDirectory = false;
};

enum class ScanStep { Entry, End, Failed };

// A listing of one folder in the order the file system returns it. The first
// next() stands for FindFirstFile, later ones for FindNextFile; "." and ".."
// may or may not be returned.
class DirScan {
public:
    virtual ~DirScan() = default;
    virtual ScanStep next(DirEntry& entry) = 0;
    virtual int32_t error() const = 0;  // code of the failure after ScanStep::Failed
};

// The local file system and the process working directory.
class LocalFiles {
public:
    virtual ~LocalFiles() = default;
    // Path separator used in local paths and in the messages that show them.
    virtual char separator() const = 0;
    // GetCurrentDirectory semantics: the length without terminator when the path
    // fits into bufferChars characters including the terminator; the size needed
    // (terminator included) when it does not; 0 on failure (see lastError).
    virtual uint32_t currentDirectory(std::string& path, uint32_t bufferChars) = 0;
    virtual bool setCurrentDirectory(const std::string& path) = 0;
    // Listing of folder path ("." for the current one). Never null.
    virtual std::unique_ptr<DirScan> scan(const std::string& path) = 0;
    virtual int32_t lastError() const = 0;
};

// One logged-in FTP session (CFtpConnection).
class FtpConnection {
public:
    virtual ~FtpConnection() = default;
    // Changes the remote directory; false with lastError() on failure.
    virtual bool setCurrentDirectory(const std::string& name) = 0;
    // Uploads localName from the current local directory to remoteName in the
    // current remote directory, binary; false with lastError() on failure.
    virtual bool putFile(const std::string& localName, const std::string& remoteName) = 0;
    virtual int32_t lastError() const = 0;
};

// The FTP client library (CInternetSession and the WinInet thread state).
class FtpClient {
public:
    virtual ~FtpClient() = default;
    // Connects, logs in and selects the transfer mode. Throws PlatformError when
    // the server cannot be reached or refuses the login.
    virtual std::unique_ptr<FtpConnection> connect(const std::string& server, uint16_t port,
                                                   const std::string& user,
                                                   const std::string& password, bool passive) = 0;
    // InternetGetLastResponseInfo: the text of the server's last reply.
    virtual bool lastResponseInfo(std::string& text) = 0;
};

enum class IoResult { Ok, Closed, Failed, TimedOut };

// The stream socket of the remote command sessions with its session deadline
// (CSocket with a thread timer). A deadline started by startDeadline bounds every
// later connect, receive and send until stopDeadline: a call that is pending or
// starts after it has passed ends with IoResult::TimedOut.
class SessionSocket {
public:
    virtual ~SessionSocket() = default;
    virtual bool startup() = 0;                    // socket library (AfxSocketInit)
    virtual bool create() = 0;                     // a fresh stream socket
    virtual bool startDeadline(uint32_t ms) = 0;   // SetTimer
    virtual void stopDeadline() = 0;               // KillTimer
    virtual IoResult connect(const std::string& host, uint16_t port) = 0;
    // Blocks until at least one byte, end of stream, failure or the deadline.
    virtual IoResult receive(uint8_t* buf, size_t cap, size_t& got) = 0;
    virtual IoResult send(const uint8_t* buf, size_t len) = 0;  // all of it
    virtual void close() = 0;
    virtual int32_t lastError() const = 0;
    virtual void sleepMs(uint32_t ms) = 0;         // the session's fixed pauses
    // The bytes a command line (UTF-8) goes out as: the same bytes the FTP client
    // sends for the remote names in it, so that tar and rm find the files the
    // upload made. False when the text has no such bytes. Linux: the text itself.
    virtual bool commandBytes(const std::string& text, std::string& bytes) {
        bytes = text;
        return true;
    }
};

// Descriptions of error codes for the failure reports.
class ErrorText {
public:
    virtual ~ErrorText() = default;
    // The system's description of a system error code (may be empty).
    virtual std::string systemDescription(int32_t code) = 0;
    // The FTP library's description of one of its codes; false when it has none.
    virtual bool internetDescription(int32_t code, std::string& text) = 0;
    // The last system error of the calling thread (for the report's suffix).
    virtual int32_t lastSystemError() = 0;
    // Whether the process heap the report is built on can be had.
    virtual bool processHeap() { return true; }
};

// Everything the core needs, handed to it by the platform's main.
struct Platform {
    Console& console;
    LocalFiles& files;
    FtpClient& ftp;
    SessionSocket& socket;
    ErrorText& errors;
};

}  // namespace uplder
