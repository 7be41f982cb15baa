// winfs: the cabinet engine's file system, code page and folder macros on
// Windows. Engine paths are UTF-8 with "\"; they become UTF-16 for the W calls.
#pragma once
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "block.h"
#include "fileio.h"
#include "win32/textconv.h"

namespace pakrel {

// The conversions shared with the uploader.
using orv::win32::narrow;
using orv::win32::widen;

class WinFileSystem final : public FileSystem {
public:
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
    size_t pathRoom() const override { return MAX_PATH; }

private:
    HANDLE get(int h);
    std::mutex m_;
    std::vector<HANDLE> handles_;  // handle h is index h - 1
};

class AnsiCodePage final : public CodePage {
public:
    bool isLeadByte(uint8_t b) const override { return IsDBCSLeadByte(b) != 0; }
    std::string toUtf8(const std::string& bytes) const override;
};

class WinMacroFolders final : public MacroFolders {
public:
    std::string folder(Macro m) override;
};

}  // namespace pakrel
