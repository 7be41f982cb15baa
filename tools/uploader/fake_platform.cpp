// fake_platform: the scripted console, folder tree, FTP server and telnet peer of
// the core's unit tests, on a virtual clock; see fake_platform.h.
#include "fake_platform.h"

#include <algorithm>
#include <cstring>

namespace uplder::fake {

bool FakeConsole::readLine(std::string& line) {
    ++reads;
    std::deque<std::string>& q = typedAhead.empty() ? answers : typedAhead;
    if (q.empty()) {
        line.clear();
        return false;
    }
    line = q.front();
    q.pop_front();
    return true;
}

namespace {

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : s) {
        if (c == sep) {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

std::string join(const std::vector<std::string>& v) {
    std::string s;
    for (const std::string& p : v) s += (s.empty() ? "" : "/") + p;
    return s;
}

}  // namespace

uint32_t FakeFiles::currentDirectory(std::string& path, uint32_t bufferChars) {
    if (cwdFails) {
        error = 5;
        return 0;
    }
    std::string full = workDir;
    for (const std::string& p : cwd) full += sep_ + p;
    if (full.size() + 1 > bufferChars) return static_cast<uint32_t>(full.size() + 1);
    path = full;
    return static_cast<uint32_t>(full.size());
}

FakeFiles::Node* FakeFiles::find(const std::vector<std::string>& path) {
    Node* n = &top;
    for (const std::string& p : path) {
        auto it = std::find_if(n->children.begin(), n->children.end(), [&](const Node& c) { return c.name == p; });
        if (it == n->children.end()) return nullptr;
        n = &*it;
    }
    return n;
}

bool FakeFiles::resolve(const std::string& path, std::vector<std::string>& out) {
    out = cwd;
    std::string rest = path;
    std::string prefix = workDir + sep_;
    if (path == workDir) {
        out.clear();
        rest.clear();
    } else if (path.compare(0, prefix.size(), prefix) == 0) {
        out.clear();
        rest = path.substr(prefix.size());
    }
    for (const std::string& p : split(rest, sep_)) {
        if (p == ".") continue;
        if (p == "..") {
            if (out.empty()) return false;
            out.pop_back();
        } else {
            out.push_back(p);
        }
    }
    Node* n = find(out);
    return n && n->dir;
}

bool FakeFiles::setCurrentDirectory(const std::string& path) {
    auto f = chdirFails.find(path);
    if (f != chdirFails.end()) {
        error = f->second;
        return false;
    }
    std::vector<std::string> target;
    if (!resolve(path, target)) {
        error = 2;
        return false;
    }
    cwd = target;
    return true;
}

namespace {

class FakeScan : public DirScan {
public:
    FakeScan(std::vector<DirEntry> entries, int failAt, int32_t code, bool missing)
        : m_entries(std::move(entries)), m_failAt(failAt), m_code(code), m_missing(missing) {}
    ScanStep next(DirEntry& e) override {
        int call = m_calls++;
        if (m_missing) {
            m_error = 3;
            return ScanStep::Failed;
        }
        if (call == m_failAt) {
            m_error = m_code;
            return ScanStep::Failed;
        }
        if (m_next >= m_entries.size()) {
            m_error = 18;  // no more files
            return ScanStep::End;
        }
        e = m_entries[m_next++];
        return ScanStep::Entry;
    }
    int32_t error() const override { return m_error; }

private:
    std::vector<DirEntry> m_entries;
    size_t m_next = 0;
    int m_calls = 0;
    int m_failAt;
    int32_t m_code;
    bool m_missing;
    int32_t m_error = 0;
};

}  // namespace

std::unique_ptr<DirScan> FakeFiles::scan(const std::string& path) {
    std::vector<std::string> target;
    bool ok = resolve(path, target);
    std::vector<DirEntry> entries;
    entries.push_back({".", true});
    entries.push_back({"..", true});
    if (ok)
        for (const Node& c : find(target)->children) entries.push_back({c.name, c.dir});
    int failAt = -1;
    int32_t code = 0;
    auto f = scanFails.find(join(target));
    if (ok && f != scanFails.end()) {
        failAt = f->second.first;
        code = f->second.second;
    }
    return std::make_unique<FakeScan>(std::move(entries), failAt, code, !ok);
}

void FakeFiles::addDir(const std::string& rel) {
    Node* n = &top;
    for (const std::string& p : split(rel, '/')) {
        auto it = std::find_if(n->children.begin(), n->children.end(), [&](const Node& c) { return c.name == p; });
        if (it == n->children.end()) {
            n->children.push_back({p, true, {}});
            n = &n->children.back();
        } else {
            n = &*it;
        }
    }
}

void FakeFiles::addFile(const std::string& rel) {
    std::vector<std::string> parts = split(rel, '/');
    std::string name = parts.back();
    parts.pop_back();
    addDir(join(parts));
    find(parts)->children.push_back({name, false, {}});
}

std::string FakeFiles::cwdRel() const { return join(cwd); }

namespace {

class FakeConnection : public FtpConnection {
public:
    explicit FakeConnection(FakeFtp& f) : m_ftp(f) {}
    bool setCurrentDirectory(const std::string& name) override {
        std::string line = "CWD " + name;
        m_ftp.log.push_back(line);
        std::string target;
        if (name == "/") target = "/";
        else if (name == "..") target = m_ftp.remoteCwd == "/" ? "/" : m_ftp.remoteCwd.substr(0, std::max<size_t>(1, m_ftp.remoteCwd.rfind('/')));
        else target = (m_ftp.remoteCwd == "/" ? "" : m_ftp.remoteCwd) + "/" + name;
        if (line == m_ftp.failOn || !m_ftp.remoteDirs.count(target))
            return refuse("550 " + name + ": No such file or directory.");
        m_ftp.remoteCwd = target;
        return respond("250 \"" + target + "\" is the current directory.");
    }
    bool putFile(const std::string& local, const std::string& remote) override {
        std::string line = "PUT " + m_ftp.files->cwdRel() + "/" + local + " -> " + m_ftp.remoteCwd + " as " + remote;
        m_ftp.log.push_back(line);
        if (m_ftp.onPut) m_ftp.onPut();
        if (m_ftp.failOn == "PUT " + local) return refuse("553 Could not create file.");
        return respond("226 Transfer complete.");
    }
    int32_t lastError() const override { return m_error; }

private:
    bool refuse(const std::string& reply) {
        m_ftp.lastResponse = reply;
        m_ftp.haveResponse = true;
        m_error = m_ftp.failCode;
        return false;
    }
    bool respond(const std::string& reply) {
        m_ftp.lastResponse = reply;
        m_ftp.haveResponse = true;
        return true;
    }
    FakeFtp& m_ftp;
    int32_t m_error = 0;
};

}  // namespace

std::unique_ptr<FtpConnection> FakeFtp::connect(const std::string& server, uint16_t port, const std::string& user,
                                                const std::string& password, bool passive) {
    log.push_back("connect " + server + ":" + std::to_string(port) + " " + user + "/" + password +
                  (passive ? " passive" : " active"));
    if (refuseLogin) {
        lastResponse = "530 Authentication failed.";
        haveResponse = true;
        throw PlatformError(12015, "login refused\n530 Authentication failed.");
    }
    remoteCwd = "/";
    return std::make_unique<FakeConnection>(*this);
}

bool FakeSocket::create() {
    log.push_back("create");
    if (createFails) {
        error = 10024;
        return false;
    }
    open = true;
    chunks.clear();
    peerClosed = false;
    return true;
}

bool FakeSocket::startDeadline(uint32_t ms) {
    if (timerFails) {
        error = 8;
        return false;
    }
    periods.push_back(ms);
    log.push_back("deadline " + std::to_string(ms));
    deadlineSet = true;
    deadline = now + ms;
    return true;
}

IoResult FakeSocket::connect(const std::string& h, uint16_t port) {
    host = h;
    log.push_back("connect " + h + ":" + std::to_string(port));
    switch (connectMode) {
    case ConnectMode::Refused:
        error = 10061;
        return IoResult::Failed;
    case ConnectMode::Silent:
        if (deadlineSet) now = std::max(now, deadline);
        error = 10060;
        return IoResult::TimedOut;
    case ConnectMode::Ok:
        break;
    }
    if (onConnect) onConnect(*this);
    return IoResult::Ok;
}

IoResult FakeSocket::receive(uint8_t* buf, size_t cap, size_t& got) {
    got = 0;
    if (deadlineSet && now >= deadline) return IoResult::TimedOut;
    if (!chunks.empty()) {
        std::string& c = chunks.front();
        got = std::min(cap, c.size());
        std::memcpy(buf, c.data(), got);
        c.erase(0, got);
        if (c.empty()) chunks.pop_front();
        return IoResult::Ok;
    }
    if (peerClosed) return IoResult::Closed;
    if (deadlineSet) {
        // Nothing will come: the wait lasts until the deadline.
        now = deadline;
        return IoResult::TimedOut;
    }
    error = -1;  // would block for ever
    return IoResult::Failed;
}

IoResult FakeSocket::send(const uint8_t* buf, size_t len) {
    if (deadlineSet && now >= deadline) return IoResult::TimedOut;
    std::string bytes(reinterpret_cast<const char*>(buf), len);
    writes.push_back(bytes);
    if (onSend) onSend(*this, bytes);
    return IoResult::Ok;
}

void Appliance::attach(FakeSocket& s) {
    s.onConnect = [this](FakeSocket& sock) {
        state = User;
        pending.clear();
        if (!greeting.empty()) sock.push(greeting);
    };
    s.onSend = [this](FakeSocket& sock, const std::string& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(bytes[i]);
            if (c == 0xff) {
                i += 2;  // an option command: the appliance ignores the client's answers
                continue;
            }
            pending += static_cast<char>(c);
        }
        size_t eol;
        while ((eol = pending.find("\r\n")) != std::string::npos) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 2);
            switch (state) {
            case User:
                sock.push(line + "\r\nPassword: ");
                state = Pass;
                break;
            case Pass:
                if (line == password) {
                    sock.push("\r\nLast login: today\r\n# ");
                    state = Shell;
                } else {
                    sock.push("\r\nLogin incorrect\r\n");
                    sock.peerClosed = true;
                }
                break;
            case Shell:
                commands.push_back(line);
                sock.push(line + "\r\n" + (line.rfind("tar ", 0) == 0 ? "a.txt\r\nb.txt\r\n" : "") + "# ");
                break;
            }
        }
    };
}

}  // namespace uplder::fake
