// redirect: archive-mode opens and shifted positions over the platform's files.
#include "redirect.h"

namespace pakrel {

RedirectedFiles::Slot* RedirectedFiles::slot(int h) {
    for (auto& s : slots_)
        if (s.h == h && h > 0) return &s;
    return nullptr;
}

int RedirectedFiles::open(const std::string& path, OpenMode mode) {
    if (!archiveMode_) return fs_.open(path, mode);
    int h = fs_.open(archive_, mode);
    if (h <= 0) return -1;
    int64_t shift = mode == OpenMode::Read ? offset_ : 0;
    if (shift != 0 && fs_.seek(h, shift, SeekFrom::Set) != shift) {
        fs_.close(h);
        return -1;
    }
    for (auto& s : slots_) {
        if (s.h == 0) {
            s.h = h;
            s.shift = shift;
            break;
        }
    }
    return h;
}

long RedirectedFiles::read(int h, void* buf, size_t n) {
    if (cancel_.load()) return -1;
    long got = fs_.read(h, buf, n);
    if (got > 0) {
        total_ += uint64_t(got);
        if (progress_) progress_(total_ / 1024);
    }
    return got;
}

long RedirectedFiles::write(int h, const void* buf, size_t n) {
    if (cancel_.load()) return -1;
    return fs_.write(h, buf, n);
}

int64_t RedirectedFiles::seek(int h, int64_t off, SeekFrom from) {
    Slot* s = slot(h);
    if (!s || s->shift == 0) return fs_.seek(h, off, from);
    if (from == SeekFrom::Set) {
        if (off < 0) return -1;
        off += s->shift;
    }
    int64_t pos = fs_.seek(h, off, from);
    if (pos < 0) return -1;
    return pos - s->shift;
}

int RedirectedFiles::close(int h) {
    if (Slot* s = slot(h)) *s = Slot{};
    return fs_.close(h);
}

}  // namespace pakrel
