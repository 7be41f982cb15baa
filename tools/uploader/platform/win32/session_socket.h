// The remote session's socket on Windows: a non-blocking Winsock stream socket
// whose every wait is a select bounded by the session deadline. The deadline
// stands for the thread timer of a message-pumping socket: started just before
// the connect, it ends the connect, receive or send that is pending or starts
// after it has passed.
#pragma once

#include <cstdint>

#include "../../platform.h"

struct fd_set;
struct timeval;

namespace uplder::win32 {

// A point on the system's millisecond tick count a wait must not pass.
class TickDeadline {
public:
    void start(uint64_t now, uint32_t ms) {
        m_set = true;
        m_at = now + ms;
    }
    void stop() { m_set = false; }
    bool set() const { return m_set; }
    bool passed(uint64_t now) const { return m_set && now >= m_at; }
    // Milliseconds a wait may take from now: at most `slice` (waits are cut
    // into slices so that a long wait re-checks the clock), 0 once passed.
    uint32_t waitMs(uint64_t now, uint32_t slice) const;

private:
    bool m_set = false;
    uint64_t m_at = 0;
};

class WinSessionSocket : public SessionSocket {
public:
    ~WinSessionSocket() override;
    bool startup() override;
    bool create() override;
    bool startDeadline(uint32_t ms) override;
    void stopDeadline() override { m_deadline.stop(); }
    IoResult connect(const std::string& host, uint16_t port) override;
    IoResult receive(uint8_t* buf, size_t cap, size_t& got) override;
    IoResult send(const uint8_t* buf, size_t len) override;
    void close() override;
    int32_t lastError() const override { return m_error; }
    void sleepMs(uint32_t ms) override;
    // The ANSI code page, as WinInet sends the remote names (ansiRemoteName).
    bool commandBytes(const std::string& text, std::string& bytes) override;

    // The select every wait calls: Winsock's, or a test's stand-in that plays the
    // system's part (and counts the waits).
    using SelectFn = int (*)(int, fd_set*, fd_set*, fd_set*, timeval*);
    void setSelect(SelectFn f) { m_select = f; }
    uintptr_t handle() const { return m_sock; }

private:
    enum class Wait { Ready, TimedOut, Failed };
    // Waits until the socket can be read (or written), or the deadline. Only the
    // connect's wait watches the exception set, where Winsock reports a failed
    // connect: for a receive or a send it would also report pending urgent
    // (out-of-band) data, which is not part of the session's stream (the
    // original's socket ignored it: its out-of-band handler did nothing) and which
    // no read takes away, so every later wait would return at once and go round
    // at full CPU until the deadline.
    Wait wait(bool forWrite, bool connecting = false);

    SelectFn m_select = nullptr;
    uintptr_t m_sock = ~uintptr_t(0);
    bool m_started = false;
    TickDeadline m_deadline;
    int32_t m_error = 0;
};

}  // namespace uplder::win32
