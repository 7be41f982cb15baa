// The remote command session: a deliberately simple telnet client that logs in
// as root, runs one or two shell commands and recognises the shell prompt by
// "#". It paces itself with fixed pauses; one deadline bounds the whole session.
#include <algorithm>
#include <cstring>

#include "uploader.h"

namespace uplder {

namespace {

// The received bytes only serve the search for the login prompt; a peer that
// floods the session must not grow them without bound.
constexpr size_t kReceivedLimit = 1 << 20;

}  // namespace

uint8_t CTelnetArchive::readByte() {
    if (m_pos == m_len) {
        size_t got = 0;
        IoResult r = m_sock.sock().receive(m_buf, kBufferSize, got);
        if (r == IoResult::TimedOut) m_sock.markTimedOut();
        if (r != IoResult::Ok || got == 0 || m_sock.timedOut()) {
            if (m_sock.timedOut()) throw SessionTimeout(0, "Socket Read");
            throw SessionIoFailure(0, "Socket Read");
        }
        m_pos = 0;
        m_len = std::min(got, kBufferSize);
    }
    return m_buf[m_pos++];
}

void CTelnetArchive::readLine() {
    std::string line;
    do {
        uint8_t b = readByte();
        if (m_received.size() < kReceivedLimit) m_received.push_back(b);
        if (b >= 0x20 && b <= 0xDF) {
            line += static_cast<char>(b);
        } else if (b == 0x0A && !line.empty()) {
            m_lastLine = line;
            return;
        }
    } while (buffered());
    if (!line.empty()) m_lastLine = line;
}

void CTelnetArchive::readAvailable() {
    do readLine();
    while (buffered());
}

void CTelnetArchive::sendBuffer() {
    IoResult r = IoResult::Ok;
    if (m_len > 0) r = m_sock.sock().send(m_buf, m_len);
    m_len = 0;
    if (r == IoResult::TimedOut) m_sock.markTimedOut();
    if (r != IoResult::Ok) throw SessionIoFailure(0, "Socket Write");
}

void CTelnetArchive::writeByte(uint8_t b) {
    if (m_len == kBufferSize) sendBuffer();
    m_buf[m_len++] = b;
}

void CTelnetArchive::writeText(const std::string& s) {
    for (char c : s) writeByte(static_cast<uint8_t>(c));
}

void CTelnetArchive::flush() {
    IoResult r = IoResult::Ok;
    if (m_len > 0) r = m_sock.sock().send(m_buf, m_len);
    m_len = 0;
    if (r == IoResult::TimedOut) m_sock.markTimedOut();
    if (m_sock.timedOut()) throw SessionTimeout(0, "Socket Write");
    if (r != IoResult::Ok) throw SessionIoFailure(0, "Socket Write");
}

void receiveStep(Uplder& u, CTelnetArchive& reader, CTelnetArchive& writer, bool readAll) {
    u.timedSocket.sock().sleepMs(kPauseMs);
    if (readAll) reader.readAvailable();
}

void connectTelnet(Uplder& u, uint32_t periodMs) {
    SessionSocket& s = u.timedSocket.sock();
    if (!s.create()) throw SessionSetupFailure(s.lastError(), "CSocket.Create");
    if (!s.startDeadline(periodMs)) throw SessionSetupFailure(s.lastError(), "SetTimer");
    IoResult r = s.connect(u.deviceAddress, u.telnetPort);
    if (r == IoResult::TimedOut) u.timedSocket.markTimedOut();
    if (r != IoResult::Ok) throw SessionSetupFailure(s.lastError(), "CSocket.Connect");
}

namespace {

bool containsLogin(const std::vector<uint8_t>& v) {
    static const char kLogin[] = "login:";
    return std::search(v.begin(), v.end(), kLogin, kLogin + 6) != v.end();
}

void waitForPrompt(Uplder& u, CTelnetArchive& reader, CTelnetArchive& writer) {
    do receiveStep(u, reader, writer, true);
    while (reader.lastLine().find('#') == std::string::npos);
}

}  // namespace

void negotiateUntilLogin(Uplder& u) {
    CTelnetArchive reader(u.timedSocket, CTelnetArchive::Load);
    CTelnetArchive writer(u.timedSocket, CTelnetArchive::Store);
    do receiveStep(u, reader, writer, true);
    while (reader.lastLine().empty());

    // The server's first text is sent back once, as its option negotiation
    // expects an answer. When it held no login prompt, read on: the prompt may
    // follow later, and otherwise the session deadline ends the wait.
    size_t echoed = 0;
    for (;;) {
        receiveStep(u, reader, writer, false);
        if (u.loginSeen) return;
        if (containsLogin(reader.received())) {
            u.loginSeen = true;
            continue;
        }
        const std::vector<uint8_t>& got = reader.received();
        for (; echoed < got.size(); ++echoed) writer.writeByte(got[echoed]);
        writer.flush();
        reader.readAvailable();
    }
}

void loginAsRoot(Uplder& u) {
    CTelnetArchive reader(u.timedSocket, CTelnetArchive::Load);
    CTelnetArchive writer(u.timedSocket, CTelnetArchive::Store);
    const uint8_t wontEcho[] = {255, 252, 1}, dontEcho[] = {255, 254, 1};
    for (uint8_t b : wontEcho) writer.writeByte(b);
    writer.flush();
    receiveStep(u, reader, writer, false);
    for (uint8_t b : dontEcho) writer.writeByte(b);
    writer.flush();
    receiveStep(u, reader, writer, false);
    writer.writeText(std::string(kUser) + "\r\n");
    writer.flush();
    receiveStep(u, reader, writer, false);
    writer.writeText(std::string(kPassword) + "\r\n");
    writer.flush();
    receiveStep(u, reader, writer, false);
    waitForPrompt(u, reader, writer);
}

void untarAndRemove(Uplder& u, const std::string& fullPath, const std::string& dirPath) {
    u.line(std::string("\r\n") + kUnpacking);
    CTelnetArchive reader(u.timedSocket, CTelnetArchive::Load);
    CTelnetArchive writer(u.timedSocket, CTelnetArchive::Store);
    // A name without bytes on the wire cannot have been uploaded either (the FTP
    // client refuses it first); should one get here, it fails as a write.
    std::string tar, rm;
    if (!u.timedSocket.sock().commandBytes("tar xzvf " + fullPath + " -C " + dirPath + "\r\n", tar) ||
        !u.timedSocket.sock().commandBytes("rm " + fullPath + "\r\n", rm))
        throw SessionIoFailure(0, "Socket Write");
    writer.writeText(tar);
    writer.flush();
    waitForPrompt(u, reader, writer);
    writer.writeText(rm);
    writer.flush();
    waitForPrompt(u, reader, writer);
    u.timedSocket.sock().stopDeadline();
    u.timedSocket.sock().close();
}

void sendResetCommand(Uplder& u) {
    CTelnetArchive reader(u.timedSocket, CTelnetArchive::Load);
    CTelnetArchive writer(u.timedSocket, CTelnetArchive::Store);
    writer.writeText(u.model->GetResetCommand() + "\r\n");
    writer.flush();
    receiveStep(u, reader, writer, true);
    // The socket stays open: the appliance goes down, and closing now could
    // hang up the shell before the command has taken effect.
    u.timedSocket.sock().stopDeadline();
}

namespace {

enum class Stage { Connect, Login, Command };

// Prints the failure block of a session. Returns normally after printing.
void reportSessionFailure(Uplder& u, Stage stage, bool reset) {
    const std::string& model = u.model->GetModelName();
    u.newline();
    u.newline();
    try {
        throw;
    } catch (const SessionSetupFailure& e) {
        u.msgLine(IDS_LOGIN_FAILED, model);
        u.msgLine(IDS_DETAILS);
        e.Report(u);
    } catch (const SessionTimeout&) {
        if (stage == Stage::Login) u.msgLine(IDS_LOGIN_TIMEOUT, model);
        else u.msgLine(reset ? IDS_RESET_TIMEOUT : IDS_UNPACK_TIMEOUT);
    } catch (const SessionIoFailure&) {
        if (stage == Stage::Login) u.msgLine(IDS_LOGIN_COMM_ERROR, model);
        else u.msgLine(reset ? IDS_RESET_COMM_ERROR : IDS_UNPACK_COMM_ERROR);
    } catch (const PlatformError& e) {
        if (stage == Stage::Connect) u.msgLine(IDS_LOGIN_FAILED, model);
        else u.msgLine(IDS_ERROR);
        u.msgLine(IDS_DETAILS);
        u.line(e.text());
    } catch (const std::exception& e) {
        u.msgLine(IDS_ERROR);
        u.msgLine(IDS_DETAILS);
        u.line(e.what());
    }
}

// Socket library start-up; prints its failure block when it cannot start.
bool startSocketLibrary(Uplder& u) {
    if (u.timedSocket.sock().startup()) return true;
    u.newline();
    u.newline();
    u.msgLine(IDS_LOGIN_FAILED, u.model->GetModelName());
    u.msgLine(IDS_DETAILS);
    u.msgLine(IDS_SOCKET_INIT_FAILED);
    u.newline();
    return false;
}

void dropSession(Uplder& u) {
    u.timedSocket.sock().stopDeadline();
    u.timedSocket.sock().close();
}

// Connect, log in and run the session's commands; a failure is reported and
// the session dropped. True when the commands ran.
template <typename Commands>
bool runSession(Uplder& u, uint32_t periodMs, bool reset, Commands commands) {
    Stage stage = Stage::Connect;
    try {
        connectTelnet(u, periodMs);
        stage = Stage::Login;
        negotiateUntilLogin(u);
        loginAsRoot(u);
        stage = Stage::Command;
        commands();
        return true;
    } catch (...) {
        reportSessionFailure(u, stage, reset);
    }
    dropSession(u);
    return false;
}

}  // namespace

void doTelnetUnTar(Uplder& u, const std::string& fullPath, const std::string& dirPath) {
    if (!startSocketLibrary(u)) throw LocalReadFailure(0, "doTelnetUnTar");
    if (!runSession(u, kUnpackPeriodMs, false, [&] { untarAndRemove(u, fullPath, dirPath); }))
        throw LocalReadFailure(0, "doTelnetUnTar");
    u.msgLine(IDS_UNPACKED);
}

void doDeviceReset(Uplder& u) {
    if (!startSocketLibrary(u)) return;
    if (runSession(u, kResetPeriodMs, true, [&] { sendResetCommand(u); })) u.msgLine(IDS_RESET_SENT);
}

}  // namespace uplder
