// memfs: a FileSystem in memory, with Windows-like roots ("C:\"), for the unit
// tests on every platform and the fuzz targets. Writes can be made to fail after
// a number of bytes, to exercise full disks.
#pragma once
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fileio.h"

namespace pakrel {

class MemFileSystem final : public FileSystem {
public:
    struct Node {
        std::vector<uint8_t> data;
        uint16_t date = 0, time = 0, attribs = 0;
    };

    MemFileSystem() { folders_.insert("C:"); }

    void put(const std::string& path, std::vector<uint8_t> data) { files_[path].data = std::move(data); }
    void put(const std::string& path, const std::string& text) { put(path, std::vector<uint8_t>(text.begin(), text.end())); }
    const Node* file(const std::string& path) const {
        auto it = files_.find(path);
        return it == files_.end() ? nullptr : &it->second;
    }
    Node* file(const std::string& path) {
        auto it = files_.find(path);
        return it == files_.end() ? nullptr : &it->second;
    }
    std::string text(const std::string& path) const {
        const Node* n = file(path);
        return n ? std::string(n->data.begin(), n->data.end()) : std::string();
    }
    void addFolder(const std::string& path) { folders_.insert(path); }
    const std::map<std::string, Node>& files() const { return files_; }
    const std::set<std::string>& folders() const { return folders_; }
    int openHandles() const { return int(open_.size()); }
    // Every write fails once this many bytes have been written in all.
    void failWritesAfter(size_t bytes) { writeBudget_ = bytes; }
    void failFolder(const std::string& path) { badFolders_.insert(path); }

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
    size_t pathRoom() const override { return 260; }  // as Windows' MAX_PATH

private:
    struct Open {
        std::string path;
        uint64_t pos = 0;
        bool write = false;
    };
    std::map<std::string, Node> files_;
    std::set<std::string> folders_;
    std::set<std::string> badFolders_;
    std::map<int, Open> open_;
    int next_ = 1;
    size_t writeBudget_ = SIZE_MAX;
    size_t written_ = 0;
};

}  // namespace pakrel
