// Test helpers for the driver framework: a connection over strings and a log sink
// that records what would have gone to the system log.
#pragma once
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include "reqloop.h"

namespace drvtest {

// Feeds the loop from a string, gathers what it writes; counts flushes so a test
// can see that every answer was flushed before the next line was read.
class StringConn : public drv::Conn {
public:
    explicit StringConn(std::string input) : in_(std::move(input)) {}
    int getLine(char* buf, int cap) override {
        int n = 0;
        while (n < cap - 1 && pos_ < in_.size()) {
            char c = in_[pos_++];
            buf[n++] = c;
            if (c == '\n') break;
        }
        buf[n] = '\0';
        if (n > 0) linesRead++;
        if (n > 0 && unflushed_) answeredUnflushed = true;
        return n;
    }
    void write(const char* d, size_t n) override {
        out.append(d, n);
        unflushed_ = true;
    }
    void flush() override {
        flushed = out;
        unflushed_ = false;
    }
    std::string out, flushed;
    int linesRead = 0;
    bool answeredUnflushed = false;  // a line was read while an answer was still unflushed

private:
    std::string in_;
    size_t pos_ = 0;
    bool unflushed_ = false;
};

struct LogRecord {
    int prio;
    std::string text;
};

// Captures drv_log output for the lifetime of the object.
class LogCapture {
public:
    LogCapture() {
        records().clear();
        drv_set_log_sink(&sink);
    }
    ~LogCapture() { drv_set_log_sink(nullptr); }
    const std::vector<LogRecord>& all() const { return records(); }
    // The texts alone, oldest first.
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (const LogRecord& r : records()) t.push_back(r.text);
        return t;
    }
    void clear() { records().clear(); }

private:
    static std::vector<LogRecord>& records() {
        static std::vector<LogRecord> r;
        return r;
    }
    static void sink(int prio, const char* text) { records().push_back({prio, text}); }
};

}  // namespace drvtest
