// fdconn: a request-loop connection over a socket descriptor (POSIX). Reads are
// buffered; answers are gathered and written in one go at each flush.
#pragma once
#include <string>

#include "reqloop.h"

namespace drv {

class FdConn : public Conn {
public:
    explicit FdConn(int fd) : fd_(fd) {}
    int getLine(char* buf, int cap) override;
    void write(const char* data, size_t len) override;
    void flush() override;
    // True once a write has failed (the client went away).
    bool broken() const { return broken_; }
    bool gone() const override { return broken_; }

private:
    int fd_;
    char in_[4096];
    size_t inPos_ = 0, inLen_ = 0;
    bool eof_ = false;
    bool broken_ = false;
    std::string out_;
};

}  // namespace drv
