// redirect: the engine's file callbacks as the self-extractor gives them. While
// the archive-mode flag is set, every open the engine asks for opens the archive
// file instead of the name given and, for reading, starts at the cabinet offset;
// on the (at most two) handles opened so, positions are shifted so that the
// engine sees the cabinet at position 0. Reads and writes fail once the shared
// cancel flag is set, and every read reports the running total to a progress
// callback (in KiB).
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "fileio.h"

namespace pakrel {

class RedirectedFiles final : public FileOps {
public:
    RedirectedFiles(FileSystem& fs, std::atomic<int>& cancel) : fs_(fs), cancel_(cancel) {}

    void setArchive(const std::string& path, int64_t cabinetOffset) {
        archive_ = path;
        offset_ = cabinetOffset;
    }
    void setArchiveMode(bool on) { archiveMode_ = on; }
    bool archiveMode() const { return archiveMode_; }
    int64_t cabinetOffset() const { return offset_; }
    void setCabinetOffset(int64_t off) { offset_ = off; }
    void setProgress(std::function<void(uint64_t kib)> fn) { progress_ = std::move(fn); }
    uint64_t bytesRead() const { return total_; }

    // Opens a file of its own name whatever the archive mode (the output files).
    int openDirect(const std::string& path, OpenMode mode) { return fs_.open(path, mode); }

    int open(const std::string& path, OpenMode mode) override;
    long read(int h, void* buf, size_t n) override;
    long write(int h, const void* buf, size_t n) override;
    int64_t seek(int h, int64_t off, SeekFrom from) override;
    int close(int h) override;

private:
    struct Slot {
        int h = 0;
        int64_t shift = 0;
    };
    Slot* slot(int h);

    FileSystem& fs_;
    std::atomic<int>& cancel_;
    std::string archive_;
    int64_t offset_ = 0;
    bool archiveMode_ = false;
    Slot slots_[2];
    uint64_t total_ = 0;
    std::function<void(uint64_t)> progress_;
};

}  // namespace pakrel
