// extract: the self-extractor's policy for each file entry of the walk: name
// decoding and cleaning, folder creation, the overwrite rules, the output file,
// its date, time and attributes, the deletion of files of the wrong size, and
// the list of files to delete after the carried program has run. Questions go
// to an ExtractUi (dialogs on Windows, command-line options in the Linux tool).
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cabengine.h"
#include "fileio.h"
#include "redirect.h"

namespace pakrel {

enum class OverwriteAnswer { Yes, No, YesToAll, Newer, Cancel };

class ExtractUi {
public:
    virtual ~ExtractUi() = default;
    virtual void currentFile(const std::string& name) {}
    virtual void invalidName(const std::string& name) = 0;   // skipped, the walk goes on
    virtual void folderFailed(const std::string& path) = 0;  // the walk stops
    virtual OverwriteAnswer askOverwrite(const std::string& path, const FileStat& existing,
                                         uint16_t newDate, uint16_t newTime, uint32_t newSize) = 0;
    // An output file cannot be opened: true to try again.
    virtual bool retryOpen(const std::string& path) = 0;
};

// Files written for later deletion: a growable array of path copies, room for
// 257 at first and 256 more each time it is full; and the folders the
// extraction made for them or for folder-only entries, removed with a
// temporary destination.
class DeletionList {
public:
    DeletionList() { paths_.reserve(257); }
    void add(const std::string& path) {
        if (paths_.size() == paths_.capacity()) paths_.reserve(paths_.capacity() + 256);
        paths_.push_back(path);
    }
    void addFolder(const std::string& path) { folders_.push_back(path); }
    const std::vector<std::string>& paths() const { return paths_; }
    const std::vector<std::string>& folders() const { return folders_; }
    size_t room() const { return paths_.capacity(); }
    void clear() {
        std::vector<std::string>().swap(paths_);
        std::vector<std::string>().swap(folders_);
    }

private:
    std::vector<std::string> paths_;
    std::vector<std::string> folders_;
};

struct ExtractSettings {
    std::string destination;     // with trailing backslash
    bool noQuestions = false;
    bool newerOnly = false;
    bool recordForDeletion = false;  // the wait flag and a program are set
};

// Creates every missing folder of path from its root. Accepted roots are the
// platform's (FileSystem::rootLength); fails at the first level that neither
// exists nor can be made. made (when given) receives each level it created.
bool makeFolders(FileSystem& fs, const std::string& path, std::vector<std::string>* made = nullptr);

// The notification callback of one walk.
class Extractor {
public:
    Extractor(FileSystem& fs, RedirectedFiles& files, ExtractUi& ui, const CodePage& cp,
              std::atomic<int>& cancel, ExtractSettings& settings, DeletionList& deletions)
        : fs_(fs), files_(files), ui_(ui), cp_(cp), cancel_(cancel), s_(settings), del_(deletions) {}

    int operator()(Notify type, CabNotification& n);

    // The output path of the current entry (empty when skipped).
    const std::string& currentPath() const { return path_; }
    bool askedForNextCabinet() const { return nextAsked_; }

private:
    int copyFile(CabNotification& n);
    int closeFile(CabNotification& n);
    int nextCabinet(CabNotification& n);
    bool mayOverwrite(const FileStat& st, const CabNotification& n);

    FileSystem& fs_;
    RedirectedFiles& files_;
    ExtractUi& ui_;
    const CodePage& cp_;
    std::atomic<int>& cancel_;
    ExtractSettings& s_;
    DeletionList& del_;
    std::string path_;
    bool nextAsked_ = false;
};

struct ExtractResult {
    int code = 0;                     // 0 success, -1 failure
    CabError error = CabError::None;
    bool nextCabinetAsked = false;
};

// The worker's run: walks the cabinet at cabinetOffset inside archivePath with
// the redirected file access and the policy above.
ExtractResult extractArchive(FileSystem& fs, const std::string& archivePath, int64_t cabinetOffset,
                             ExtractUi& ui, const CodePage& cp, std::atomic<int>& cancel,
                             ExtractSettings& settings, DeletionList& deletions,
                             const std::function<void(uint64_t kib)>& progress = nullptr);

}  // namespace pakrel
