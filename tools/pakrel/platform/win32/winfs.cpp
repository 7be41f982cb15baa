// winfs: CreateFileW handles, attributes and FAT times behind the engine's interface.
#include "platform/win32/winfs.h"

#include <shlobj.h>

namespace pakrel {

HANDLE WinFileSystem::get(int h) {
    std::lock_guard<std::mutex> l(m_);
    if (h <= 0 || size_t(h) > handles_.size()) return INVALID_HANDLE_VALUE;
    return handles_[size_t(h) - 1];
}

int WinFileSystem::open(const std::string& path, OpenMode mode) {
    HANDLE f = mode == OpenMode::Read
        ? CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr)
        : CreateFileW(widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (f == INVALID_HANDLE_VALUE) return -1;
    std::lock_guard<std::mutex> l(m_);
    for (size_t i = 0; i < handles_.size(); ++i)
        if (handles_[i] == INVALID_HANDLE_VALUE) {
            handles_[i] = f;
            return int(i + 1);
        }
    handles_.push_back(f);
    return int(handles_.size());
}

long WinFileSystem::read(int h, void* buf, size_t n) {
    DWORD got = 0;
    if (!ReadFile(get(h), buf, DWORD(n), &got, nullptr)) return -1;
    return long(got);
}

long WinFileSystem::write(int h, const void* buf, size_t n) {
    DWORD put = 0;
    if (!WriteFile(get(h), buf, DWORD(n), &put, nullptr) || put != n) return -1;
    return long(put);
}

int64_t WinFileSystem::seek(int h, int64_t off, SeekFrom from) {
    LARGE_INTEGER d, r;
    d.QuadPart = off;
    if (!SetFilePointerEx(get(h), d, &r, DWORD(from))) return -1;
    return r.QuadPart;
}

int WinFileSystem::close(int h) {
    HANDLE f = get(h);
    if (f == INVALID_HANDLE_VALUE) return -1;
    {
        std::lock_guard<std::mutex> l(m_);
        handles_[size_t(h) - 1] = INVALID_HANDLE_VALUE;
    }
    return CloseHandle(f) ? 0 : -1;
}

FileStat WinFileSystem::stat(const std::string& path) {
    FileStat st;
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExW(widen(path).c_str(), GetFileExInfoStandard, &a)) return st;
    st.kind = (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::Folder : FileKind::File;
    st.size = (uint64_t(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
    st.attribs = uint16_t(a.dwFileAttributes & kAttrKeptMask);
    FILETIME local;
    WORD d = 0, t = 0;
    if (FileTimeToLocalFileTime(&a.ftLastWriteTime, &local) && FileTimeToDosDateTime(&local, &d, &t)) {
        st.date = d;
        st.time = t;
    }
    return st;
}

bool WinFileSystem::makeFolder(const std::string& path) { return CreateDirectoryW(widen(path).c_str(), nullptr) != 0; }
bool WinFileSystem::removeFile(const std::string& path) { return DeleteFileW(widen(path).c_str()) != 0; }
bool WinFileSystem::removeFolder(const std::string& path) { return RemoveDirectoryW(widen(path).c_str()) != 0; }

bool WinFileSystem::setAttributes(const std::string& path, uint16_t attribs) {
    DWORD a = attribs & kAttrKeptMask;
    return SetFileAttributesW(widen(path).c_str(), a ? a : FILE_ATTRIBUTE_NORMAL) != 0;
}

bool WinFileSystem::setFatTime(const std::string& path, uint16_t date, uint16_t time) {
    FILETIME local, utc;
    if (!DosDateTimeToFileTime(date, time, &local) || !LocalFileTimeToFileTime(&local, &utc)) return false;
    HANDLE f = CreateFileW(widen(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    bool ok = SetFileTime(f, &utc, nullptr, &utc) != 0;
    CloseHandle(f);
    return ok;
}

// A drive path ("C:\") or a "\\server\share\" path of at least 8 characters;
// anything else may not be created.
int WinFileSystem::rootLength(const std::string& p) {
    if (p.size() >= 3 && isalpha(uint8_t(p[0])) && p[1] == ':' && p[2] == '\\') return 3;
    if (p.size() >= 8 && p[0] == '\\' && p[1] == '\\') {
        size_t server = p.find('\\', 2);
        if (server == std::string::npos) return -1;
        size_t share = p.find('\\', server + 1);
        return share == std::string::npos ? int(p.size()) : int(share + 1);
    }
    return -1;
}

std::string AnsiCodePage::toUtf8(const std::string& bytes) const { return orv::win32::fromCodePage(bytes, CP_ACP); }

std::string WinMacroFolders::folder(Macro m) {
    wchar_t buf[MAX_PATH + 1] = {};
    int csidl = -1;
    switch (m) {
    case Macro::Desktop: csidl = CSIDL_DESKTOPDIRECTORY; break;
    case Macro::MyDocuments: csidl = CSIDL_PERSONAL; break;
    case Macro::ProgramFiles: csidl = CSIDL_PROGRAM_FILES; break;
    case Macro::SystemDir: GetSystemDirectoryW(buf, MAX_PATH); break;
    case Macro::WinDir: GetWindowsDirectoryW(buf, MAX_PATH); break;
    case Macro::Temp: GetTempPathW(MAX_PATH, buf); break;
    }
    if (csidl >= 0 && SHGetFolderPathW(nullptr, csidl, nullptr, 0, buf) != S_OK) return {};
    return narrow(buf);
}

}  // namespace pakrel
