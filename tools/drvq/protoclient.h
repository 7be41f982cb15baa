// protoclient: one TCP connection to a driver daemon, speaking the request protocol
// line by line. drvq and the rig's integration tests both talk to the daemons through
// it, so what a test proves about the client is what the service engineers' tool does.
//
// Lines are LF-terminated; what the daemon sends is returned unchanged, line end
// included ("?cmd=hello&status=OK\r\n"). Every call takes a bound in milliseconds;
// nothing here waits forever.
#pragma once

#include "deadline.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drvq {

// Milliseconds of the monotonic clock (for deadlines).
using orv::nowMs;

class ProtoClient {
public:
    ProtoClient() = default;
    ~ProtoClient();
    ProtoClient(const ProtoClient&) = delete;
    ProtoClient& operator=(const ProtoClient&) = delete;

    // One connection attempt to host:port (numeric IPv4 or a name), bounded by
    // timeoutMs. On failure error() says why ("Connection refused", or "cannot
    // resolve HOST: ..." when the name is unknown).
    bool connectOnce(const std::string& host, int port, int timeoutMs);
    // Attempts again until timeoutMs has passed, so a daemon that is still starting
    // up is waited for.
    bool connect(const std::string& host, int port, int timeoutMs);
    // Sends text exactly as given (no line end is added), within timeoutMs.
    bool sendLine(std::string_view text, int timeoutMs = 5000);
    // The next line including its "\n" (and any "\r" before it). At end of stream a
    // last piece without "\n" is returned as it is; after that, nullopt with eof().
    // nullopt also on time-out (timedOut()) and on error.
    std::optional<std::string> readLine(int timeoutMs);
    // The next line that does not begin with "!"; meta/trace lines passed over on the
    // way are appended to skipped().
    std::optional<std::string> readResponse(int timeoutMs);
    // sendLine(line) then readResponse(timeoutMs).
    std::optional<std::string> request(std::string_view line, int timeoutMs);
    // True when the peer has closed the connection; waits up to timeoutMs for that,
    // keeping any bytes that arrive meanwhile for readLine.
    bool closed(int timeoutMs = 0);

    bool connected() const { return fd_ >= 0; }
    bool eof() const { return eof_; }
    bool timedOut() const { return timedOut_; }
    // Why the last connect failed.
    const std::string& error() const { return error_; }
    // Lines beginning with "!" that readResponse passed over, oldest first.
    std::vector<std::string>& skipped() { return skipped_; }
    // Bytes received that are not yet part of a returned line.
    const std::string& pending() const { return buf_; }
    void close();
    int fd() const { return fd_; }

private:
    // Reads what is there, waiting until deadline; false on time-out, EOF or error.
    bool fill(const orv::Deadline& deadline);
    void reset();
    int fd_ = -1;
    bool eof_ = false;
    bool timedOut_ = false;
    std::string buf_;
    std::string error_;
    std::vector<std::string> skipped_;
};

}  // namespace drvq
