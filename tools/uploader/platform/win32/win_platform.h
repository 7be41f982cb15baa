// Console, local files and error texts of the uploader on Windows.
#pragma once

#include <string>

#include "../../platform.h"
#include "wintext.h"

namespace uplder::win32 {

// Standard output and error. On a console window the text goes out as UTF-16
// (WriteConsoleW), which shows the Japanese messages whatever code page the
// window has; redirected to a pipe or a file it is written as code page 932
// bytes with CR LF line ends, as the program's ANSI text stream writes it.
// Input is read a byte at a time from a pipe or file (so nothing of a later
// line sits in a buffer of ours) and a line at a time from a console;
// typed-ahead console input is dropped with FlushConsoleInputBuffer. From a
// pipe or a file the input is a script, and nothing is discarded.
class WinConsole : public Console {
public:
    WinConsole();
    void write(const std::string& utf8) override;
    void flush() override;
    void writeError(const std::string& utf8) override;
    bool readLine(std::string& line) override;
    void discardTypeahead() override;

private:
    void writeTo(void* handle, bool console, const std::string& utf8);

    void* m_in;
    void* m_out;
    void* m_err;
    bool m_inConsole, m_outConsole, m_errConsole;
    std::wstring m_pending;  // console input read past the current line
};

class WinFiles : public LocalFiles {
public:
    char separator() const override { return '\\'; }
    uint32_t currentDirectory(std::string& path, uint32_t bufferChars) override;
    bool setCurrentDirectory(const std::string& path) override;
    std::unique_ptr<DirScan> scan(const std::string& path) override;
    int32_t lastError() const override { return m_error; }

private:
    int32_t m_error = 0;
};

class WinErrorText : public ErrorText {
public:
    std::string systemDescription(int32_t code) override;
    bool internetDescription(int32_t code, std::string& text) override;
    int32_t lastSystemError() override;
    bool processHeap() override;
};

// The system message table's text for code (FormatMessage, neutral or user
// default language, inserts ignored), or false. Keeps the thread's last error
// of a failed lookup for the caller.
bool systemMessage(int32_t code, std::string& text);
// The same from the message table of wininet.dll.
bool wininetMessage(int32_t code, std::string& text);

}  // namespace uplder::win32
