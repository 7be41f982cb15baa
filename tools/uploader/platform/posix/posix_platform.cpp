// posix_platform: the uploader's console, local file walk and error texts on
// Linux; see posix_platform.h.
#include "posix_platform.h"

#include <dirent.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "ftp_client.h"

namespace uplder::posix {

namespace {

void writeAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // console gone: nothing sensible left to do
        done += static_cast<size_t>(n);
    }
}

}  // namespace

void PosixConsole::write(const std::string& utf8) { writeAll(1, utf8); }
void PosixConsole::writeError(const std::string& utf8) { writeAll(2, utf8); }

bool PosixConsole::readLine(std::string& line) {
    line.clear();
    // A line longer than this is cut: the answers are a few characters.
    constexpr size_t kMaxLine = 4096;
    for (;;) {
        char c;
        ssize_t n = ::read(0, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c == '\n') break;
        if (line.size() < kMaxLine) line += c;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

void PosixConsole::discardTypeahead() {
    if (::isatty(0)) ::tcflush(0, TCIFLUSH);
}

uint32_t PosixFiles::currentDirectory(std::string& path, uint32_t bufferChars) {
    std::vector<char> buf(bufferChars ? bufferChars : 1);
    if (::getcwd(buf.data(), buf.size())) {
        path = buf.data();
        return static_cast<uint32_t>(path.size());
    }
    if (errno != ERANGE) {
        m_error = errno;
        return 0;
    }
    // Too long for the buffer: report the size it would need, as Windows does.
    char* full = ::getcwd(nullptr, 0);
    if (!full) {
        m_error = errno;
        return 0;
    }
    uint32_t need = static_cast<uint32_t>(std::strlen(full) + 1);
    ::free(full);
    return need;
}

bool PosixFiles::setCurrentDirectory(const std::string& path) {
    if (::chdir(path.c_str()) == 0) return true;
    m_error = errno;
    return false;
}

namespace {

class PosixDirScan : public DirScan {
public:
    explicit PosixDirScan(const std::string& path) : m_path(path) {
        m_dir = ::opendir(path.c_str());
        if (!m_dir) m_error = errno;
    }
    ~PosixDirScan() override {
        if (m_dir) ::closedir(m_dir);
    }
    ScanStep next(DirEntry& e) override {
        if (!m_dir) return ScanStep::Failed;
        errno = 0;
        dirent* d = ::readdir(m_dir);
        if (!d) {
            if (errno == 0) return ScanStep::End;
            m_error = errno;
            return ScanStep::Failed;
        }
        e.name = d->d_name;
        if (d->d_type == DT_UNKNOWN) {
            // Some file systems leave the type open; ask without following links.
            struct stat st;
            std::string full = m_path + "/" + e.name;
            e.isDirectory = ::lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        } else {
            e.isDirectory = d->d_type == DT_DIR;
        }
        return ScanStep::Entry;
    }
    int32_t error() const override { return m_error; }

private:
    std::string m_path;
    DIR* m_dir = nullptr;
    int32_t m_error = 0;
};

}  // namespace

std::unique_ptr<DirScan> PosixFiles::scan(const std::string& path) { return std::make_unique<PosixDirScan>(path); }

std::string PosixErrorText::systemDescription(int32_t code) {
    if (code == 0) return "Success";
    char buf[256];
    // GNU strerror_r returns the text, which may or may not be buf.
    return ::strerror_r(code, buf, sizeof buf);
}

bool PosixErrorText::internetDescription(int32_t code, std::string& text) { return inetDescription(code, text); }

int32_t PosixErrorText::lastSystemError() { return errno; }

}  // namespace uplder::posix
