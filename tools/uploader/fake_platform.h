// Scripted stand-ins for the platform, for the core's unit tests: a console
// with scripted answers and typed-ahead lines, an in-memory folder tree, an FTP
// server that logs every operation, and a telnet peer on a virtual clock so
// that session deadlines and pauses are exact and instant.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "uploader.h"

namespace uplder::fake {

class FakeConsole : public Console {
public:
    void write(const std::string& s) override { out += s; }
    void flush() override {}
    void writeError(const std::string& s) override { err += s; }
    bool readLine(std::string& line) override;
    void discardTypeahead() override {
        ++discards;
        typedAhead.clear();
    }

    std::deque<std::string> answers;     // typed after each prompt
    std::deque<std::string> typedAhead;  // already in the input buffer
    std::string out, err;
    int discards = 0;
    int reads = 0;
};

// A folder tree below a working directory. Entries keep the order they were
// added in, which stands for the file system's listing order.
class FakeFiles : public LocalFiles {
public:
    explicit FakeFiles(char sep = '\\') : sep_(sep) {}
    char separator() const override { return sep_; }
    uint32_t currentDirectory(std::string& path, uint32_t bufferChars) override;
    bool setCurrentDirectory(const std::string& path) override;
    std::unique_ptr<DirScan> scan(const std::string& path) override;
    int32_t lastError() const override { return error; }

    // Adds a file (and its folders) by a path relative to the working
    // directory, written with "/".
    void addFile(const std::string& rel);
    void addDir(const std::string& rel);
    // The current folder, relative to the working directory, written with "/".
    std::string cwdRel() const;

    std::string workDir = "C:\\work";
    bool cwdFails = false;
    int32_t error = 0;
    std::map<std::string, int32_t> chdirFails;             // target (as passed) -> code
    std::map<std::string, std::pair<int, int32_t>> scanFails;  // folder -> (call index, code)

    struct Node {
        std::string name;
        bool dir = false;
        std::vector<Node> children;
    };
    Node top{"", true, {}};  // the working directory
    std::vector<std::string> cwd;  // below workDir; empty means workDir itself
    bool outside = false;          // cwd is somewhere not in the tree

private:
    Node* find(const std::vector<std::string>& path);
    bool resolve(const std::string& path, std::vector<std::string>& out);
    char sep_;
};

class FakeFtp : public FtpClient {
public:
    std::unique_ptr<FtpConnection> connect(const std::string& server, uint16_t port,
                                           const std::string& user, const std::string& password,
                                           bool passive) override;
    bool lastResponseInfo(std::string& text) override {
        if (!haveResponse) return false;
        text = lastResponse;
        return true;
    }

    FakeFiles* files = nullptr;     // to check the local folder of each upload
    std::vector<std::string> log;   // "CWD x", "PUT local-folder/name"
    std::string remoteCwd = "/";
    std::set<std::string> remoteDirs{"/", "/home"};
    std::string failOn;             // a log line that fails
    int32_t failCode = 12003;
    bool refuseLogin = false;
    std::string lastResponse;
    bool haveResponse = false;
    std::function<void()> onPut;    // runs during each upload
};

// A telnet peer: reacts to what the client sends with scripted output.
class FakeSocket : public SessionSocket {
public:
    bool startup() override { return !startupFails; }
    bool create() override;
    bool startDeadline(uint32_t ms) override;
    void stopDeadline() override { deadlineSet = false; log.push_back("stop"); }
    IoResult connect(const std::string& host, uint16_t port) override;
    IoResult receive(uint8_t* buf, size_t cap, size_t& got) override;
    IoResult send(const uint8_t* buf, size_t len) override;
    void close() override { log.push_back("close"); open = false; }
    int32_t lastError() const override { return error; }
    void sleepMs(uint32_t ms) override { now += ms; ++pauses; }
    bool commandBytes(const std::string& text, std::string& bytes) override {
        if (wireBytes) return wireBytes(text, bytes);
        bytes = text;
        return true;
    }

    void push(const std::string& bytes) { chunks.push_back(bytes); }

    // Behaviour of the peer.
    bool startupFails = false, createFails = false, timerFails = false;
    enum class ConnectMode { Ok, Refused, Silent } connectMode = ConnectMode::Ok;
    int32_t error = 0;
    std::function<void(FakeSocket&)> onConnect;
    std::function<void(FakeSocket&, const std::string&)> onSend;  // per flushed write
    std::function<bool(const std::string&, std::string&)> wireBytes;  // commandBytes; default: the text
    bool peerClosed = false;  // after the queued chunks, the peer hangs up

    // What happened.
    uint64_t now = 0;
    bool deadlineSet = false;
    uint64_t deadline = 0;
    std::vector<uint32_t> periods;
    std::vector<std::string> writes;  // each send, as bytes
    std::vector<std::string> log;     // create, deadline N, connect host:port, stop, close
    std::string host;
    int pauses = 0;
    bool open = false;
    std::deque<std::string> chunks;
};

// A well-behaved appliance: telnet negotiation, "login: ", "Password: ", the
// shell prompt "# ", and a prompt after every command it is sent. Commands go
// to `commands`.
struct Appliance {
    void attach(FakeSocket& s);
    std::string greeting = std::string("\xff\xfd\x18\xff\xfb\x01\xff\xfb\x03", 9) + "login: ";
    std::string password = kPassword;
    std::vector<std::string> commands;
    std::string pending;
    enum { User, Pass, Shell } state = User;
};

struct Rig {
    FakeConsole console;
    FakeFiles files;
    FakeFtp ftp;
    FakeSocket socket;
    struct Errors : ErrorText {
        std::string systemDescription(int32_t code) override { return "sys" + std::to_string(code); }
        bool internetDescription(int32_t code, std::string& text) override {
            if (code < 12000 || code > 12200) return false;
            text = "inet" + std::to_string(code);
            return true;
        }
        int32_t lastSystemError() override { return lastError; }
        bool processHeap() override { return heap; }
        int32_t lastError = 0;
        bool heap = true;
    } errors;
    Platform platform{console, files, ftp, socket, errors};
    Uplder u{platform};
    Appliance appliance;

    Rig() {
        ftp.files = &files;
        appliance.attach(socket);
        u.model = &selectModel({"prog"});
        u.model->LoadModelName();
        u.deviceAddress = "127.0.0.1";
    }
};

}  // namespace uplder::fake
