// fileio: the file interfaces the cabinet engine and the extraction policy work
// through. The core never touches a platform header; each platform supplies one
// FileSystem (platform/posix, platform/win32), and the tests an in-memory one.
//
// Paths are UTF-8 with "\" between folders, as on the package's home system;
// a platform layer turns them into its own form.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace pakrel {

enum class OpenMode { Read, Write };  // Write: create or truncate, read and write
enum class SeekFrom { Set = 0, Cur = 1, End = 2 };

// The engine's file callbacks: open, read, write, seek and close on handles.
// Handles are > 0; -1 reports a failure.
class FileOps {
public:
    virtual ~FileOps() = default;
    virtual int open(const std::string& path, OpenMode mode) = 0;
    // Bytes moved, 0 at the end of the file, -1 on failure.
    virtual long read(int h, void* buf, size_t n) = 0;
    virtual long write(int h, const void* buf, size_t n) = 0;
    // New position from the start, or -1.
    virtual int64_t seek(int h, int64_t off, SeekFrom from) = 0;
    virtual int close(int h) = 0;
};

enum class FileKind { None, File, Folder };

struct FileStat {
    FileKind kind = FileKind::None;
    uint64_t size = 0;
    uint16_t date = 0, time = 0;  // last write, local time, FAT form
    uint16_t attribs = 0;         // FAT attribute bits the platform knows
};

// FAT attribute bits.
enum : uint16_t {
    kAttrReadOnly = 0x01, kAttrHidden = 0x02, kAttrSystem = 0x04,
    kAttrArchive = 0x20, kAttrExec = 0x40, kAttrNameUtf8 = 0x80,
    kAttrKeptMask = 0x27,
};

class FileSystem : public FileOps {
public:
    virtual FileStat stat(const std::string& path) = 0;
    virtual bool makeFolder(const std::string& path) = 0;
    virtual bool removeFile(const std::string& path) = 0;
    virtual bool removeFolder(const std::string& path) = 0;
    // Attributes after a write: the FAT bits (0 = normal).
    virtual bool setAttributes(const std::string& path, uint16_t attribs) = 0;
    // Creation and last-write time from a FAT date/time taken as local time.
    virtual bool setFatTime(const std::string& path, uint16_t date, uint16_t time) = 0;
    // How many leading characters of a path name folders taken as existing when
    // folders are created ("C:\" -> 3, "\\server\share\" -> its length, "\" on
    // POSIX -> 1, a relative path on POSIX -> 0), or -1 when such a path may
    // not be created at all.
    virtual int rootLength(const std::string& path) = 0;
    // Characters (UTF-16 code units) a full path may have including its
    // terminating zero; 0 when the system's limit is too far to matter.
    virtual size_t pathRoom() const { return 0; }
};

// The ANSI code page of the system, for entry names that are not UTF-8.
class CodePage {
public:
    virtual ~CodePage() = default;
    virtual bool isLeadByte(uint8_t b) const = 0;
    // Text of the code page to UTF-8; invalid bytes become U+FFFD.
    virtual std::string toUtf8(const std::string& bytes) const = 0;
};

}  // namespace pakrel
