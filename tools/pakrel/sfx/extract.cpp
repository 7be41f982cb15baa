// extract: what happens to each entry of the cabinet.
#include "extract.h"

#include "block.h"
#include "names.h"

namespace pakrel {

bool makeFolders(FileSystem& fs, const std::string& path, std::vector<std::string>* made) {
    int root = fs.rootLength(path);
    if (root < 0) return false;
    std::string p = path;
    if (p.empty() || p.back() != '\\') p.push_back('\\');
    for (size_t i = size_t(root); i < p.size(); ++i) {
        if (p[i] != '\\' || i == 0) continue;
        std::string level = p.substr(0, i);
        if (level.empty() || level.back() == '\\') continue;
        if (fs.stat(level).kind == FileKind::Folder) continue;
        if (fs.makeFolder(level)) {
            if (made) made->push_back(level);
        } else if (fs.stat(level).kind != FileKind::Folder) {
            return false;
        }
    }
    return true;
}

int Extractor::operator()(Notify type, CabNotification& n) {
    switch (type) {
    case Notify::CopyFile: return copyFile(n);
    case Notify::CloseFile: return closeFile(n);
    case Notify::NextCabinet: return nextCabinet(n);
    default: return 0;
    }
}

bool Extractor::mayOverwrite(const FileStat& st, const CabNotification& n) {
    uint32_t have = uint32_t(st.date) << 16 | st.time;
    uint32_t entry = uint32_t(n.date) << 16 | n.time;
    return have < entry;
}

int Extractor::copyFile(CabNotification& n) {
    path_.clear();
    std::string decoded = decodeEntryName(n.name, cp_);
    std::string name = cleanEntryName(decoded);
    ui_.currentFile(name);
    bool folderEntry = !name.empty() && name.back() == '\\';
    if (!finishEntryName(name)) {
        ui_.invalidName(name.empty() ? decoded : name);
        return 0;
    }
    // A name longer than a name may be, or one that makes the output path too
    // long for the file system, would only fail later at the open, whose
    // Retry/Cancel box can end the whole walk: skip it as an invalid name.
    size_t room = fs_.pathRoom();
    if (utf16Length(decoded) > kMaxNameChars || (room && utf16Length(s_.destination + name) >= room)) {
        ui_.invalidName(decoded);
        return 0;
    }
    std::string path;
    size_t cut = name.rfind('\\');
    if (cut == std::string::npos) {
        path = s_.destination + name;
    } else {
        std::string folder = s_.destination + name.substr(0, cut + 1);
        std::vector<std::string> made;
        bool ok = makeFolders(fs_, folder, &made);
        if (s_.recordForDeletion)
            for (const std::string& f : made) del_.addFolder(f);
        if (!ok) {
            ui_.folderFailed(folder);
            cancel_.store(1);
            return -1;
        }
        if (folderEntry || cut + 1 == name.size()) return 0;
        path = folder + name.substr(cut + 1);
    }

    FileStat st = fs_.stat(path);
    if (st.kind != FileKind::None) {
        bool write;
        if (s_.noQuestions) {
            write = true;
        } else if (s_.newerOnly) {
            write = mayOverwrite(st, n);
        } else {
            switch (ui_.askOverwrite(path, st, n.date, n.time, n.size)) {
            case OverwriteAnswer::Cancel:
                cancel_.store(100);
                return -1;
            case OverwriteAnswer::No:
                write = false;
                break;
            case OverwriteAnswer::YesToAll:
                s_.noQuestions = true;
                write = true;
                break;
            case OverwriteAnswer::Newer:
                s_.newerOnly = true;
                write = mayOverwrite(st, n);
                break;
            case OverwriteAnswer::Yes:
            default:
                write = true;
                break;
            }
        }
        if (!write) return 0;
        fs_.setAttributes(path, 0);
    }
    if (cancel_.load()) return -1;
    if (s_.recordForDeletion) del_.add(path);
    for (;;) {
        int h = files_.openDirect(path, OpenMode::Write);
        if (h > 0) {
            path_ = path;
            return h;
        }
        if (!ui_.retryOpen(path)) return -1;
    }
}

int Extractor::closeFile(CabNotification& n) {
    int64_t pos = files_.seek(n.handle, 0, SeekFrom::Cur);
    files_.close(n.handle);
    if (pos >= 0 && uint64_t(pos) == n.size) {
        fs_.setFatTime(path_, n.date, n.time);
        fs_.setAttributes(path_, uint16_t(n.attribs & kAttrKeptMask));
    } else {
        fs_.removeFile(path_);
    }
    return 1;
}

int Extractor::nextCabinet(CabNotification&) {
    nextAsked_ = true;
    if (cancel_.load() || path_.empty() || fs_.stat(path_).kind != FileKind::File) return -1;
    files_.setCabinetOffset(0);
    return 0;
}

ExtractResult extractArchive(FileSystem& fs, const std::string& archivePath, int64_t cabinetOffset,
                             ExtractUi& ui, const CodePage& cp, std::atomic<int>& cancel,
                             ExtractSettings& settings, DeletionList& deletions,
                             const std::function<void(uint64_t)>& progress) {
    RedirectedFiles files(fs, cancel);
    files.setArchive(archivePath, cabinetOffset);
    if (progress) files.setProgress(progress);
    files.setArchiveMode(true);
    std::string folder, name;
    splitArchivePath(archivePath, folder, name);
    Extractor ex(fs, files, ui, cp, cancel, settings, deletions);
    CabEngine engine(files);
    ExtractResult r;
    bool ok = engine.copy(name, folder, [&](Notify t, CabNotification& n) { return ex(t, n); });
    r.code = ok ? 0 : -1;
    r.error = engine.error();
    r.nextCabinetAsked = ex.askedForNextCabinet();
    return r;
}

}  // namespace pakrel
