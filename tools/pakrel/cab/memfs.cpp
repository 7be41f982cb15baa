// memfs: files and folders in maps; enough of a file system for the policy.
#include "memfs.h"

#include <cstring>

namespace pakrel {
namespace {
std::string parentOf(const std::string& p) {
    size_t cut = p.rfind('\\');
    return cut == std::string::npos ? std::string() : p.substr(0, cut);
}
}  // namespace

int MemFileSystem::open(const std::string& path, OpenMode mode) {
    if (folders_.count(path)) return -1;
    if (mode == OpenMode::Read) {
        if (!files_.count(path)) return -1;
    } else {
        std::string parent = parentOf(path);
        if (!parent.empty() && !folders_.count(parent)) return -1;
        Node& n = files_[path];
        if (n.attribs & kAttrReadOnly) return -1;
        n.data.clear();
    }
    int h = next_++;
    open_[h] = Open{path, 0, mode == OpenMode::Write};
    return h;
}

long MemFileSystem::read(int h, void* buf, size_t n) {
    auto it = open_.find(h);
    if (it == open_.end()) return -1;
    auto& data = files_[it->second.path].data;
    if (it->second.pos >= data.size()) return 0;
    size_t k = data.size() - size_t(it->second.pos);
    if (k > n) k = n;
    std::memcpy(buf, data.data() + it->second.pos, k);
    it->second.pos += k;
    return long(k);
}

long MemFileSystem::write(int h, const void* buf, size_t n) {
    auto it = open_.find(h);
    if (it == open_.end() || !it->second.write) return -1;
    if (written_ + n > writeBudget_) return -1;
    written_ += n;
    auto& data = files_[it->second.path].data;
    if (data.size() < it->second.pos + n) data.resize(size_t(it->second.pos + n));
    std::memcpy(data.data() + it->second.pos, buf, n);
    it->second.pos += n;
    return long(n);
}

int64_t MemFileSystem::seek(int h, int64_t off, SeekFrom from) {
    auto it = open_.find(h);
    if (it == open_.end()) return -1;
    int64_t base = from == SeekFrom::Set ? 0
                   : from == SeekFrom::Cur ? int64_t(it->second.pos)
                                           : int64_t(files_[it->second.path].data.size());
    int64_t pos = base + off;
    if (pos < 0) return -1;
    it->second.pos = uint64_t(pos);
    return pos;
}

int MemFileSystem::close(int h) { return open_.erase(h) ? 0 : -1; }

FileStat MemFileSystem::stat(const std::string& path) {
    FileStat st;
    std::string p = path;
    while (p.size() > 3 && p.back() == '\\') p.pop_back();
    if (p.size() == 3 && p[1] == ':' && p[2] == '\\') p.pop_back();
    if (folders_.count(p)) {
        st.kind = FileKind::Folder;
    } else if (auto it = files_.find(p); it != files_.end()) {
        st.kind = FileKind::File;
        st.size = it->second.data.size();
        st.date = it->second.date;
        st.time = it->second.time;
        st.attribs = it->second.attribs;
    }
    return st;
}

bool MemFileSystem::makeFolder(const std::string& path) {
    if (badFolders_.count(path) || files_.count(path)) return false;
    std::string parent = parentOf(path);
    if (!parent.empty() && !folders_.count(parent)) return false;
    folders_.insert(path);
    return true;
}

bool MemFileSystem::removeFile(const std::string& path) { return files_.erase(path) > 0; }

bool MemFileSystem::removeFolder(const std::string& path) {
    std::string prefix = path + "\\";
    for (const auto& f : files_)
        if (f.first.rfind(prefix, 0) == 0) return false;
    for (const auto& d : folders_)
        if (d.rfind(prefix, 0) == 0) return false;
    return folders_.erase(path) > 0;
}

bool MemFileSystem::setAttributes(const std::string& path, uint16_t attribs) {
    Node* n = file(path);
    if (!n) return false;
    n->attribs = attribs;
    return true;
}

bool MemFileSystem::setFatTime(const std::string& path, uint16_t date, uint16_t time) {
    Node* n = file(path);
    if (!n) return false;
    n->date = date;
    n->time = time;
    return true;
}

int MemFileSystem::rootLength(const std::string& path) {
    if (path.size() >= 3 && path[1] == ':' && path[2] == '\\') return 3;
    return -1;
}

}  // namespace pakrel
