// A connection whose client sends a fixed byte stream and whose answers are kept,
// for fuzz targets that drive the request loop.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "reqloop.h"

class StreamConn : public drv::Conn {
public:
    StreamConn(const uint8_t* d, size_t n) : d_(d), n_(n) {}
    // fgets-like: at most cap-1 bytes, up to and including a line feed.
    int getLine(char* buf, int cap) override {
        int k = 0;
        while (k < cap - 1 && pos_ < n_) {
            char c = (char)d_[pos_++];
            buf[k++] = c;
            if (c == '\n') break;
        }
        buf[k] = '\0';
        return k;
    }
    void write(const char* d, size_t n) override { out_.append(d, n); }
    void flush() override {}
    const std::string& out() const { return out_; }

private:
    const uint8_t* d_;
    size_t n_, pos_ = 0;
    std::string out_;
};
