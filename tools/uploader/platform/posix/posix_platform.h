// Console, local files and error texts of the uploader on Linux.
#pragma once

#include "../../platform.h"

namespace uplder::posix {

// UTF-8 straight to the terminal. Input is read a byte at a time from fd 0, so
// nothing of a later line sits in a buffer of ours; typed-ahead input on a
// terminal is dropped with tcflush. From a pipe or a file the input is a
// script, and nothing is discarded.
class PosixConsole : public Console {
public:
    void write(const std::string& utf8) override;
    void flush() override {}
    void writeError(const std::string& utf8) override;
    bool readLine(std::string& line) override;
    void discardTypeahead() override;
};

class PosixFiles : public LocalFiles {
public:
    char separator() const override { return '/'; }
    uint32_t currentDirectory(std::string& path, uint32_t bufferChars) override;
    bool setCurrentDirectory(const std::string& path) override;
    std::unique_ptr<DirScan> scan(const std::string& path) override;
    int32_t lastError() const override { return m_error; }

private:
    int32_t m_error = 0;
};

class PosixErrorText : public ErrorText {
public:
    std::string systemDescription(int32_t code) override;
    bool internetDescription(int32_t code, std::string& text) override;
    int32_t lastSystemError() override;
};

}  // namespace uplder::posix
