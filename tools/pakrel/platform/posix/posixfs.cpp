// posixfs: descriptors, stat, mkdir and utimensat behind the engine's interface.
#include "platform/posix/posixfs.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "names.h"

namespace pakrel {

// Handles are descriptors plus one, so that descriptor 0 (a closed standard
// input gives it out) is still a valid handle.
std::string PosixFileSystem::toNative(const std::string& path) {
    std::string p = path;
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

std::string PosixFileSystem::fromNative(const std::string& path) {
    std::string p = path;
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}

int PosixFileSystem::open(const std::string& path, OpenMode mode) {
    int flags = mode == OpenMode::Read ? O_RDONLY : O_RDWR | O_CREAT | O_TRUNC;
    int fd;
    do fd = ::open(toNative(path).c_str(), flags | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd + 1;
}

long PosixFileSystem::read(int h, void* buf, size_t n) {
    ssize_t r;
    do r = ::read(h - 1, buf, n);
    while (r < 0 && errno == EINTR);
    return long(r);
}

long PosixFileSystem::write(int h, const void* buf, size_t n) {
    const char* p = static_cast<const char*>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(h - 1, p + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        done += size_t(w);
    }
    return long(done);
}

int64_t PosixFileSystem::seek(int h, int64_t off, SeekFrom from) {
    int whence = from == SeekFrom::Set ? SEEK_SET : from == SeekFrom::Cur ? SEEK_CUR : SEEK_END;
    off_t r = ::lseek(h - 1, off_t(off), whence);
    return r < 0 ? -1 : int64_t(r);
}

int PosixFileSystem::close(int h) { return ::close(h - 1); }

FileStat PosixFileSystem::stat(const std::string& path) {
    FileStat fs;
    struct stat st;
    if (::stat(toNative(path).c_str(), &st) != 0) return fs;
    fs.kind = S_ISDIR(st.st_mode) ? FileKind::Folder : FileKind::File;
    fs.size = uint64_t(st.st_size);
    struct tm tm;
    time_t t = st.st_mtime;
    if (localtime_r(&t, &tm)) {
        FatDateTime f;
        f.year = tm.tm_year + 1900;
        f.month = tm.tm_mon + 1;
        f.day = tm.tm_mday;
        f.hour = tm.tm_hour;
        f.minute = tm.tm_min;
        f.second = tm.tm_sec;
        if (f.year < 1980) f = FatDateTime{};
        fatJoin(f, fs.date, fs.time);
    }
    if (!(st.st_mode & S_IWUSR)) fs.attribs |= kAttrReadOnly;
    return fs;
}

bool PosixFileSystem::makeFolder(const std::string& path) {
    return ::mkdir(toNative(path).c_str(), 0777) == 0 || errno == EEXIST;
}

bool PosixFileSystem::removeFile(const std::string& path) { return ::unlink(toNative(path).c_str()) == 0; }

bool PosixFileSystem::removeFolder(const std::string& path) { return ::rmdir(toNative(path).c_str()) == 0; }

bool PosixFileSystem::setAttributes(const std::string& path, uint16_t attribs) {
    std::string p = toNative(path);
    struct stat st;
    if (::stat(p.c_str(), &st) != 0) return false;
    mode_t mode = st.st_mode & 07777;
    // Read-only is the one FAT attribute a POSIX file can carry.
    if (attribs & kAttrReadOnly) mode &= mode_t(~(S_IWUSR | S_IWGRP | S_IWOTH));
    else mode |= S_IWUSR;
    return ::chmod(p.c_str(), mode) == 0;
}

bool PosixFileSystem::setFatTime(const std::string& path, uint16_t date, uint16_t time) {
    FatDateTime f = fatSplit(date, time);
    struct tm tm = {};
    tm.tm_year = f.year - 1900;
    tm.tm_mon = f.month - 1;
    tm.tm_mday = f.day;
    tm.tm_hour = f.hour;
    tm.tm_min = f.minute;
    tm.tm_sec = f.second;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    if (t == time_t(-1)) return false;
    struct timespec ts[2];
    ts[0].tv_sec = ts[1].tv_sec = t;
    ts[0].tv_nsec = ts[1].tv_nsec = 0;
    return ::utimensat(AT_FDCWD, toNative(path).c_str(), ts, 0) == 0;
}

int PosixFileSystem::rootLength(const std::string& path) {
    return !path.empty() && path[0] == '\\' ? 1 : 0;
}

std::string Cp932CodePage::toUtf8(const std::string& bytes) const {
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == iconv_t(-1)) {
        // No converter: keep ASCII, mark the rest.
        std::string out;
        for (char c : bytes) out += uint8_t(c) < 0x80 ? std::string(1, c) : std::string("\xEF\xBF\xBD");
        return out;
    }
    std::string out;
    char buf[1024];
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    while (inLeft > 0) {
        char* o = buf;
        size_t oLeft = sizeof buf;
        size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buf, size_t(o - buf));
        if (r == size_t(-1) && errno != E2BIG) {
            // An invalid or cut byte: replace it and go on.
            out += "\xEF\xBF\xBD";
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace pakrel
