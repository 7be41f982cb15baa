// win_platform: the uploader's console, local file walk and error texts on
// Windows; see win_platform.h.
#define NOMINMAX
#include "win_platform.h"

#include <windows.h>

#include <vector>

namespace uplder::win32 {

namespace {

bool isConsole(HANDLE h) {
    DWORD mode;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}

void writeBytes(HANDLE h, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        DWORD n = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(s.size() - done, 1u << 16));
        if (!WriteFile(h, s.data() + done, want, &n, nullptr) || n == 0) return;  // output gone
        done += n;
    }
}

void writeConsole(HANDLE h, const std::wstring& w) {
    size_t done = 0;
    while (done < w.size()) {
        DWORD n = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(w.size() - done, 8192));
        if (!WriteConsoleW(h, w.data() + done, want, &n, nullptr) || n == 0) return;
        done += n;
    }
}

// FormatMessage into a 2048-character buffer; false with the lookup's own
// failure left as the thread's last error.
bool formatMessage(DWORD source, HMODULE module, int32_t code, std::string& text) {
    wchar_t buf[2048];
    DWORD n = FormatMessageW(source | FORMAT_MESSAGE_IGNORE_INSERTS, module, static_cast<DWORD>(code),
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf, 2048, nullptr);
    if (n == 0) return false;
    DWORD keep = GetLastError();
    text = narrow(std::wstring(buf, n));
    SetLastError(keep);
    return true;
}

}  // namespace

bool systemMessage(int32_t code, std::string& text) {
    return formatMessage(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, text);
}

bool wininetMessage(int32_t code, std::string& text) {
    HMODULE m = GetModuleHandleW(L"wininet.dll");
    if (!m) m = LoadLibraryW(L"wininet.dll");
    if (!m) return false;
    return formatMessage(FORMAT_MESSAGE_FROM_HMODULE, m, code, text);
}

WinConsole::WinConsole()
    : m_in(GetStdHandle(STD_INPUT_HANDLE)),
      m_out(GetStdHandle(STD_OUTPUT_HANDLE)),
      m_err(GetStdHandle(STD_ERROR_HANDLE)),
      m_inConsole(isConsole(m_in)),
      m_outConsole(isConsole(m_out)),
      m_errConsole(isConsole(m_err)) {}

void WinConsole::writeTo(void* handle, bool console, const std::string& utf8) {
    if (!handle || handle == INVALID_HANDLE_VALUE) return;
    std::string text = textModeLineEnds(utf8);
    if (console) writeConsole(handle, widen(text));
    else writeBytes(handle, toCodePage(text, kConsoleCodePage));
}

void WinConsole::write(const std::string& utf8) { writeTo(m_out, m_outConsole, utf8); }
void WinConsole::writeError(const std::string& utf8) { writeTo(m_err, m_errConsole, utf8); }
// Nothing is held back: every write goes straight to the handle.
void WinConsole::flush() {}

bool WinConsole::readLine(std::string& line) {
    line.clear();
    if (!m_in || m_in == INVALID_HANDLE_VALUE) return false;
    if (m_inConsole) {
        // A console delivers whole lines; what follows the first one stays in
        // m_pending for the next prompt (or the next discard).
        for (;;) {
            size_t lf = m_pending.find(L'\n');
            if (lf != std::wstring::npos) {
                std::wstring l = m_pending.substr(0, lf);
                m_pending.erase(0, lf + 1);
                if (!l.empty() && l.back() == L'\r') l.pop_back();
                line = narrow(l.substr(0, 4096));
                return true;
            }
            wchar_t buf[1024];
            DWORD n = 0;
            if (!ReadConsoleW(m_in, buf, 1024, &n, nullptr) || n == 0) {
                line = narrow(m_pending.substr(0, 4096));
                m_pending.clear();
                return false;
            }
            // Ctrl+Z at the start of a line is end of input on a console.
            if (m_pending.empty() && buf[0] == 0x1A) return false;
            if (m_pending.size() < 65536) m_pending.append(buf, n);
        }
    }
    LineCollector collect;
    for (;;) {
        char c;
        DWORD n = 0;
        if (!ReadFile(m_in, &c, 1, &n, nullptr) || n == 0) {
            line = fromCodePage(collect.take(), kConsoleCodePage);
            return false;
        }
        if (collect.feed(c)) break;
    }
    line = fromCodePage(collect.take(), kConsoleCodePage);
    return true;
}

void WinConsole::discardTypeahead() {
    if (!m_inConsole) return;
    m_pending.clear();
    FlushConsoleInputBuffer(m_in);
}

uint32_t WinFiles::currentDirectory(std::string& path, uint32_t bufferChars) {
    std::vector<wchar_t> buf(bufferChars ? bufferChars : 1);
    DWORD n = GetCurrentDirectoryW(bufferChars, buf.data());
    if (n == 0) {
        m_error = static_cast<int32_t>(GetLastError());
        return 0;
    }
    if (n >= bufferChars) return n;  // the size it would need, terminator included
    path = narrow(std::wstring(buf.data(), n));
    return n;
}

bool WinFiles::setCurrentDirectory(const std::string& path) {
    if (SetCurrentDirectoryW(widen(path).c_str())) return true;
    m_error = static_cast<int32_t>(GetLastError());
    return false;
}

namespace {

class WinDirScan : public DirScan {
public:
    explicit WinDirScan(const std::string& path) : m_pattern(widen(path + "\\*")) {}
    ~WinDirScan() override {
        if (m_find != INVALID_HANDLE_VALUE) FindClose(m_find);
    }
    ScanStep next(DirEntry& e) override {
        WIN32_FIND_DATAW fd;
        if (m_done) return ScanStep::End;
        if (m_find == INVALID_HANDLE_VALUE) {
            if (m_started) return fail(m_error);
            m_started = true;
            m_find = FindFirstFileW(m_pattern.c_str(), &fd);
            if (m_find == INVALID_HANDLE_VALUE) return fail(GetLastError());
        } else if (!FindNextFileW(m_find, &fd)) {
            return fail(GetLastError());
        }
        e.name = narrow(fd.cFileName);
        // A junction or a link to a folder is not entered: a loop of them
        // would make the walk recurse for ever. It is then sent as a file,
        // which fails with a clear report.
        e.isDirectory = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                        !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        return ScanStep::Entry;
    }
    int32_t error() const override { return m_error; }

private:
    ScanStep fail(DWORD code) {
        if (code == ERROR_NO_MORE_FILES) {
            m_done = true;
            return ScanStep::End;
        }
        m_error = static_cast<int32_t>(code);
        return ScanStep::Failed;
    }

    std::wstring m_pattern;
    HANDLE m_find = INVALID_HANDLE_VALUE;
    bool m_started = false;
    bool m_done = false;
    int32_t m_error = 0;
};

}  // namespace

std::unique_ptr<DirScan> WinFiles::scan(const std::string& path) { return std::make_unique<WinDirScan>(path); }

std::string WinErrorText::systemDescription(int32_t code) {
    std::string text;
    if (!systemMessage(code, text)) return {};
    return text;
}

bool WinErrorText::internetDescription(int32_t code, std::string& text) { return wininetMessage(code, text); }

int32_t WinErrorText::lastSystemError() { return static_cast<int32_t>(GetLastError()); }

bool WinErrorText::processHeap() { return GetProcessHeap() != nullptr; }

}  // namespace uplder::win32
