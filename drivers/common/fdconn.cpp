// fdconn: see fdconn.h.
#include "fdconn.h"

#include <cerrno>
#include <unistd.h>

namespace drv {

int FdConn::getLine(char* buf, int cap) {
    int n = 0;
    while (n < cap - 1) {
        if (inPos_ == inLen_) {
            if (eof_) break;
            ssize_t r;
            do r = ::read(fd_, in_, sizeof in_);
            while (r < 0 && errno == EINTR);
            if (r <= 0) {
                eof_ = true;
                break;
            }
            inPos_ = 0;
            inLen_ = (size_t)r;
        }
        char c = in_[inPos_++];
        buf[n++] = c;
        if (c == '\n') break;
    }
    buf[n] = '\0';
    return n;
}

void FdConn::write(const char* data, size_t len) {
    if (!broken_) out_.append(data, len);
}

void FdConn::flush() {
    size_t off = 0;
    while (!broken_ && off < out_.size()) {
        ssize_t w = ::write(fd_, out_.data() + off, out_.size() - off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            broken_ = true;
            break;
        }
        off += (size_t)w;
    }
    out_.clear();
}

}  // namespace drv
