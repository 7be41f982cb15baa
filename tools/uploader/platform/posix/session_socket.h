// The remote session's socket on Linux: a non-blocking stream socket whose
// every wait is a poll bounded by the session deadline.
#pragma once

#include "../../platform.h"
#include "net.h"

namespace uplder::posix {

class PosixSessionSocket : public SessionSocket {
public:
    ~PosixSessionSocket() override { close(); }
    bool startup() override;
    bool create() override;
    bool startDeadline(uint32_t ms) override;
    void stopDeadline() override { m_deadline = Deadline::none(); }
    IoResult connect(const std::string& host, uint16_t port) override;
    IoResult receive(uint8_t* buf, size_t cap, size_t& got) override;
    IoResult send(const uint8_t* buf, size_t len) override;
    void close() override;
    int32_t lastError() const override { return m_error; }
    void sleepMs(uint32_t ms) override;

private:
    int m_fd = -1;
    Deadline m_deadline;
    int32_t m_error = 0;
};

}  // namespace uplder::posix
