// posixfs: the cabinet engine's file system on Linux. Engine paths ("\" between
// folders) become POSIX paths ("/"); the ANSI code page of the package's home
// system is taken as code page 932 and decoded with iconv.
#pragma once
#include "fileio.h"

namespace pakrel {

class PosixFileSystem final : public FileSystem {
public:
    static std::string toNative(const std::string& path);
    static std::string fromNative(const std::string& path);

    int open(const std::string& path, OpenMode mode) override;
    long read(int h, void* buf, size_t n) override;
    long write(int h, const void* buf, size_t n) override;
    int64_t seek(int h, int64_t off, SeekFrom from) override;
    int close(int h) override;
    FileStat stat(const std::string& path) override;
    bool makeFolder(const std::string& path) override;
    bool removeFile(const std::string& path) override;
    bool removeFolder(const std::string& path) override;
    bool setAttributes(const std::string& path, uint16_t attribs) override;
    bool setFatTime(const std::string& path, uint16_t date, uint16_t time) override;
    int rootLength(const std::string& path) override;
};

class Cp932CodePage final : public CodePage {
public:
    bool isLeadByte(uint8_t b) const override { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
    std::string toUtf8(const std::string& bytes) const override;
};

}  // namespace pakrel
