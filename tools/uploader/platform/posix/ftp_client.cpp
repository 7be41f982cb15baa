// ftp_client: the uploader's own FTP client on Linux (USER, PASS, TYPE I, PASV,
// CWD, STOR) with WinInet's error numbering; see ftp_client.h.
#include "ftp_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace uplder::posix {

namespace {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return m_fd; }
    void reset(int fd = -1) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

class PosixFtpConnection : public FtpConnection {
public:
    PosixFtpConnection(PosixFtpClient& client, int ctl, const in_addr& peer)
        : m_client(client), m_ctl(ctl), m_peer(peer) {}
    // Says goodbye when the session ends; the reply is not waited for.
    ~PosixFtpConnection() override {
        if (m_loggedIn) {
            static const char quit[] = "QUIT\r\n";
            (void)!::send(m_ctl.get(), quit, sizeof quit - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
    }

    // The login sequence; 0 or the WinInet code of the failure.
    int32_t login(const std::string& user, const std::string& password);

    bool setCurrentDirectory(const std::string& name) override;
    bool putFile(const std::string& localName, const std::string& remoteName) override;
    int32_t lastError() const override { return m_error; }

private:
    // Sends one command line; false with m_error set when it could not go out.
    bool sendCommand(const std::string& line);
    // Reads one reply; its code, or 0 with m_error set on failure.
    int readReply();
    int command(const std::string& line) { return sendCommand(line) ? readReply() : 0; }
    bool fail(int32_t code) {
        m_error = code;
        return false;
    }
    bool sendAll(int fd, const char* p, size_t n, uint32_t waitMs);
    // Sends the whole local file on the data connection; false with m_error set.
    // (sendfile was tried: on loopback it was slower than read and send.)
    bool sendFileData(int file, int data);

    PosixFtpClient& m_client;
    Fd m_ctl;
    in_addr m_peer;
    int32_t m_error = 0;
    bool m_loggedIn = false;
    FtpReplyParser m_parser;
    char m_buf[4096];
    size_t m_pos = 0, m_len = 0;
};

bool PosixFtpConnection::sendAll(int fd, const char* p, size_t n, uint32_t waitMs) {
    size_t done = 0;
    while (done < n) {
        Wait w = waitFd(fd, POLLOUT, Deadline::in(waitMs));
        if (w == Wait::TimedOut) return fail(INET_TIMEOUT);
        if (w == Wait::Failed) return fail(INET_CONNECTION_ABORTED);
        ssize_t k = ::send(fd, p + done, n - done, MSG_NOSIGNAL);
        if (k > 0) {
            done += static_cast<size_t>(k);
        } else if (k < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        } else {
            return fail(INET_CONNECTION_ABORTED);
        }
    }
    return true;
}

bool PosixFtpConnection::sendFileData(int file, int data) {
    // 64 KiB pieces: on loopback larger ones made uploads slower, not faster.
    std::vector<char> chunk(64 * 1024);
    for (;;) {
        ssize_t n = ::read(file, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(errno);
        if (n == 0) return true;
        if (!sendAll(data, chunk.data(), static_cast<size_t>(n), m_client.timeouts().dataMs)) return false;
    }
}

bool PosixFtpConnection::sendCommand(const std::string& line) {
    std::string l = line + "\r\n";
    return sendAll(m_ctl.get(), l.data(), l.size(), m_client.timeouts().replyMs);
}

int PosixFtpConnection::readReply() {
    m_parser.reset();
    Deadline d = Deadline::in(m_client.timeouts().replyMs);
    while (!m_parser.complete()) {
        if (m_pos == m_len) {
            Wait w = waitFd(m_ctl.get(), POLLIN, d);
            if (w == Wait::TimedOut) return fail(INET_TIMEOUT), 0;
            if (w == Wait::Failed) return fail(INET_CONNECTION_ABORTED), 0;
            ssize_t n = ::recv(m_ctl.get(), m_buf, sizeof m_buf, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            if (n <= 0) return fail(INET_CONNECTION_ABORTED), 0;
            m_pos = 0;
            m_len = static_cast<size_t>(n);
        }
        m_pos += m_parser.feed(m_buf + m_pos, m_len - m_pos);
    }
    m_client.setLastResponse(m_parser.text());
    if (m_parser.code() == 0) return fail(INET_EXTENDED_ERROR), 0;
    return m_parser.code();
}

int32_t PosixFtpConnection::login(const std::string& user, const std::string& password) {
    int c = readReply();
    while (c >= 100 && c < 200) c = readReply();  // 120: service ready in a moment
    if (c == 0) return m_error;
    if (c != 220) return INET_CANNOT_CONNECT;
    c = command("USER " + user);
    if (c == 331 || c == 332) c = command("PASS " + password);
    if (c == 0) return m_error;
    if (c != 230 && c != 202) return c == 530 ? INET_LOGIN_FAILURE : INET_EXTENDED_ERROR;
    c = command("TYPE I");
    if (c == 0) return m_error;
    if (c != 200) return INET_EXTENDED_ERROR;
    m_loggedIn = true;
    return 0;
}

bool PosixFtpConnection::setCurrentDirectory(const std::string& name) {
    int c = command("CWD " + name);
    if (c == 0) return false;
    if (c / 100 != 2) return fail(INET_EXTENDED_ERROR);
    return true;
}

bool PosixFtpConnection::putFile(const std::string& localName, const std::string& remoteName) {
    Fd file(::open(localName.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return fail(errno);

    int c = command("PASV");
    if (c == 0) return false;
    uint8_t host[4];
    uint16_t port = 0;
    if (c != 227 || !parsePasvReply(m_parser.text(), host, port)) return fail(INET_EXTENDED_ERROR);

    // The data connection goes to the control connection's peer, whatever
    // address the reply names: a server behind NAT often names the wrong one,
    // and the client must never be steered to a third host.
    Fd data(streamSocket());
    if (data.get() < 0) return fail(INET_CANNOT_CONNECT);
    bool timedOut = false;
    if (connectWithin(data.get(), m_peer, port, Deadline::in(m_client.timeouts().connectMs), &timedOut) != 0)
        return fail(timedOut ? INET_TIMEOUT : INET_CANNOT_CONNECT);

    c = command("STOR " + remoteName);
    if (c == 0) return false;
    if (c != 125 && c != 150) return fail(INET_EXTENDED_ERROR);

    if (!sendFileData(file.get(), data.get())) {
        int32_t err = m_error;
        data.reset();
        if (err != INET_TIMEOUT && err != INET_CONNECTION_ABORTED) readReply();  // the server's verdict
        return fail(err);
    }
    data.reset();  // end of file for the server
    c = readReply();
    if (c == 0) return false;
    if (c / 100 != 2) return fail(INET_EXTENDED_ERROR);
    return true;
}

}  // namespace

std::unique_ptr<FtpConnection> PosixFtpClient::connect(const std::string& server, uint16_t port,
                                                       const std::string& user,
                                                       const std::string& password, bool) {
    ::signal(SIGPIPE, SIG_IGN);
    m_haveResponse = false;
    auto raise = [&](int32_t code) {
        std::string text;
        inetDescription(code, text);
        if (m_haveResponse && !m_lastResponse.empty()) text += "\n" + m_lastResponse;
        throw PlatformError(code, text);
    };
    in_addr addr{};
    if (!resolveIPv4(server, addr)) raise(INET_NAME_NOT_RESOLVED);
    int fd = streamSocket();
    if (fd < 0) raise(INET_CANNOT_CONNECT);
    auto conn = std::make_unique<PosixFtpConnection>(*this, fd, addr);
    bool timedOut = false;
    if (connectWithin(fd, addr, port, Deadline::in(m_timeouts.connectMs), &timedOut) != 0)
        raise(timedOut ? INET_TIMEOUT : INET_CANNOT_CONNECT);
    if (int32_t err = conn->login(user, password)) raise(err);
    return conn;
}

bool PosixFtpClient::lastResponseInfo(std::string& text) {
    if (!m_haveResponse) return false;
    text = m_lastResponse;
    return true;
}

}  // namespace uplder::posix
