// sfxrun: the self-extractor's run as named steps (version check, command
// line, block with its WOW64 check, cabinet, question, CRC, destination,
// extraction, program run, wait, clean-up) in the order the package needs them,
// with the exit codes of each way out. Everything the run needs of Windows
// (message boxes, dialogs, the progress window with its worker thread, process
// start, installer windows, the shell) sits behind SfxShell, so the flow is the
// same code on Windows and under the Linux unit tests.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "block.h"
#include "extract.h"
#include "fileio.h"

namespace pakrel {

// Process exit codes.
constexpr int kExitDone = 0;    // completed, or the user declined to create the destination
constexpr int kExitEarly = -1;  // ended early: no block room, declined, failed check, cancel, error
constexpr int kExitNotNt = -2;  // a Windows family other than NT

// The string-table entries the run shows in message boxes.
enum class SfxText {
    NoArchive = 2,     // "Cannot open arhive."
    Format = 3,        // "not supported archive format."
    Forbidden = 7,     // "Cannot create a folder.\nThis archive forbids writing."
    CrcError = 8,      // with the package's path; caption "Warning"
    Win64Only = 12,    // platform mark '6' without WOW64
    Win9x = 13,        // not an NT system
};

// The carried program after its start.
class RunningProgram {
public:
    enum class State { Unknown, Running, Ended };
    virtual ~RunningProgram() = default;  // closes the process handle
    virtual void waitUntilIdle() = 0;     // idle for input, no time limit
    virtual State state() = 0;            // from its exit code
    virtual void waitForEnd() = 0;        // polls every 100 ms
};

// The extraction as the flow hands it over: runs the walk with the shell's
// questions and reports progress in KiB.
using ExtractWork = std::function<ExtractResult(ExtractUi& ui, const std::function<void(uint64_t kib)>& progress)>;

class SfxShell {
public:
    virtual ~SfxShell() = default;

    // The process and its system.
    virtual bool ntFamily() = 0;
    virtual bool underWow64() = 0;
    virtual void prepareUi() = 0;  // common controls (and what the folder browser needs)
    virtual std::string commandLine() = 0;
    virtual std::string ownPath() = 0;
    // Where the block goes, from the program's own headers in memory; -1 when
    // they cannot be read.
    virtual int64_t ownBlockOffset() = 0;

    // Message boxes.
    virtual void error(SfxText text, const std::string& arg = {}) = 0;
    virtual bool retryOpen() = 0;  // the system's text for the last error, Retry/Cancel
    virtual bool askQuestion(const std::string& question, const std::string& title) = 0;  // Yes
    virtual bool askCreateFolder(const std::string& path) = 0;  // string 4, OK

    // Dialogs. The destination dialog edits settings.destination; false for Cancel.
    virtual bool destinationDialog(PackageBlock& settings, const std::string& baseName) = 0;
    virtual void checkWindowOpen(uint64_t units) = 0;
    virtual void checkWindowStep(uint64_t units) = 0;
    virtual void checkWindowClose() = 0;
    // The progress dialog while work runs on a worker thread; cancel is the
    // flag its Cancel button and close box raise.
    virtual ExtractResult extract(int64_t cabinetSize, std::atomic<int>& cancel, const ExtractWork& work) = 0;

    // The carried program.
    virtual void installInf(const ProgramCommand& command, bool withoutRedirection) = 0;
    virtual std::unique_ptr<RunningProgram> startProgram(const ProgramCommand& command) = 0;
    virtual void sleepMs(unsigned ms) = 0;
    // Looks every 10 ms, at most `looks` times, for an installer window and
    // then waits until it has gone.
    virtual void waitForInstallerWindows(int looks) = 0;
    virtual void openFolder(const std::string& path) = 0;  // information beep, shell "open"
};

class SfxRun {
public:
    SfxRun(SfxShell& shell, FileSystem& fs, MacroFolders& macros, const CodePage& cp)
        : shell_(shell), fs_(fs), macros_(macros), cp_(cp) {}
    ~SfxRun() { closeArchive(); }

    int run();

    // What the run decided, for the tests.
    const PackageBlock& settings() const { return settings_; }
    const std::string& destination() const { return dest_; }

private:
    using Step = std::optional<int>;  // an exit code ends the run

    Step checkVersion();
    Step readCommandLine();
    Step openArchive();
    Step readBlock();
    Step checkPlatform(const PackageBlock& block);
    Step findCabinet();
    Step askQuestion();
    Step checkCrc();
    Step chooseDestination();
    Step createDestination();
    Step extract();
    int finish();
    void runProgram();
    void waitFor(std::unique_ptr<RunningProgram> program);
    void cleanUp();
    void closeArchive();

    SfxShell& shell_;
    FileSystem& fs_;
    MacroFolders& macros_;
    const CodePage& cp_;

    PackageBlock settings_{};
    bool ownFile_ = false;  // no archive on the command line: the package itself
    std::string archive_, archiveFolder_, baseName_, dest_;
    int handle_ = -1;
    int64_t size_ = 0, imageEnd_ = 0, blockEnd_ = 0, cabinet_ = -1;
    char mark_ = '3';
    bool temporary_ = false;
    std::atomic<int> cancel_{0};
    ExtractResult result_;
    DeletionList deletions_;
};

}  // namespace pakrel
