// sfxrun: the self-extractor's run, one step after the other.
#include "sfxrun.h"

#include <algorithm>

#include "cabformat.h"
#include "cmdline.h"
#include "crc.h"

namespace pakrel {
namespace {

// The check window counts in units of this many bytes.
constexpr int64_t kCheckUnit = 102400;

size_t depth(const std::string& path) { return size_t(std::count(path.begin(), path.end(), '\\')); }

}  // namespace

int SfxRun::run() {
    using StepFn = Step (SfxRun::*)();
    static constexpr StepFn kSteps[] = {
        &SfxRun::checkVersion,      &SfxRun::readCommandLine, &SfxRun::openArchive,
        &SfxRun::readBlock,         &SfxRun::findCabinet,     &SfxRun::askQuestion,
        &SfxRun::checkCrc,          &SfxRun::chooseDestination, &SfxRun::createDestination,
        &SfxRun::extract,
    };
    for (StepFn step : kSteps)
        if (Step end = (this->*step)()) {
            closeArchive();
            return *end;
        }
    return finish();
}

SfxRun::Step SfxRun::checkVersion() {
    if (!shell_.ntFamily()) {
        shell_.error(SfxText::Win9x);
        return kExitNotNt;
    }
    shell_.prepareUi();
    return {};
}

SfxRun::Step SfxRun::readCommandLine() {
    settings_ = initialSettings();
    CommandLine cl = parseCommandLine(shell_.commandLine(), settings_,
                                      [this](const std::string& p) { return fs_.stat(p).kind == FileKind::Folder; });
    ownFile_ = cl.archive.empty();
    archive_ = ownFile_ ? shell_.ownPath() : cl.archive;
    return {};
}

SfxRun::Step SfxRun::openArchive() {
    while ((handle_ = fs_.open(archive_, OpenMode::Read)) <= 0)
        if (!shell_.retryOpen()) {
            shell_.error(SfxText::NoArchive);
            return kExitEarly;
        }
    size_ = fs_.seek(handle_, 0, SeekFrom::End);
    return {};
}

// Only the package itself carries a block; a named archive is extracted with
// the settings of the options.
SfxRun::Step SfxRun::readBlock() {
    if (!ownFile_) return {};
    int64_t off = shell_.ownBlockOffset();
    // No room behind the image: nothing to unpack, and nothing worth a message.
    if (off < 0 || off >= size_) return kExitEarly;
    imageEnd_ = off;
    blockEnd_ = off + int64_t(kBlockSize);
    PackageBlock block;
    // A missing or damaged block is no error: the settings stay as they are.
    if (!readPackageBlock(fs_, handle_, off, block)) return {};
    if (block.program[0] == 0) block.magic[6] = '3';
    if (Step end = checkPlatform(block)) return end;
    mark_ = platformMark(block);
    std::string selfName = archive_.substr(archive_.rfind('\\') + 1);
    temporary_ = applyBlock(settings_, block, macros_, selfName);
    return {};
}

SfxRun::Step SfxRun::checkPlatform(const PackageBlock& block) {
    if (platformMark(block) == '6' && !shell_.underWow64()) {
        shell_.error(SfxText::Win64Only);
        return kExitEarly;
    }
    return {};
}

SfxRun::Step SfxRun::findCabinet() {
    cabinet_ = pakrel::findCabinet(fs_, handle_, imageEnd_);
    if (cabinet_ < 0) {
        shell_.error(cabinet_ == -2 ? SfxText::NoArchive : SfxText::Format);
        return kExitEarly;
    }
    return {};
}

SfxRun::Step SfxRun::askQuestion() {
    std::string question = fieldText(settings_.question);
    if (!question.empty() && !shell_.askQuestion(question, fieldText(settings_.title))) return kExitEarly;
    return {};
}

SfxRun::Step SfxRun::checkCrc() {
    if (settings_.crc != 0) {
        shell_.checkWindowOpen(uint64_t(std::max<int64_t>(size_ - blockEnd_, 0) / kCheckUnit));
        uint32_t crc = 0;
        bool ok = crcFrom(fs_, handle_, blockEnd_, crc,
                          [this](uint64_t done) { shell_.checkWindowStep(done / kCheckUnit); });
        shell_.checkWindowClose();
        if (!ok || crc != settings_.crc) {
            shell_.error(SfxText::CrcError, archive_);
            // Without a program there is nothing that could run tampered code.
            if (settings_.program[0] != 0) return kExitEarly;
        }
    }
    closeArchive();
    return {};
}

SfxRun::Step SfxRun::chooseDestination() {
    std::string name;
    splitArchivePath(archive_, archiveFolder_, name);
    if (settings_.destination[0] == 0) setField(settings_.destination, archiveFolder_);
    baseName_ = archiveBaseName(name);
    for (;;) {
        if (!settings_.hideDialog && !shell_.destinationDialog(settings_, baseName_)) return kExitEarly;
        bool fellBack = false;
        dest_ = finalDestination(archiveFolder_, fieldText(settings_.destination), &fellBack);
        if (!fellBack) return {};
        setField(settings_.destination, archiveFolder_);
        // Without the dialog nobody could correct it: the archive's folder it is.
        if (settings_.hideDialog) return {};
    }
}

SfxRun::Step SfxRun::createDestination() {
    if (fs_.stat(dest_).kind == FileKind::Folder) return {};
    if (!settings_.noQuestions && !shell_.askCreateFolder(dest_)) return kExitDone;
    if (!makeFolders(fs_, dest_)) {
        shell_.error(SfxText::Forbidden);
        return kExitEarly;
    }
    return {};
}

SfxRun::Step SfxRun::extract() {
    ExtractSettings es;
    es.destination = dest_;
    es.noQuestions = settings_.noQuestions != 0;
    es.recordForDeletion = settings_.wait && settings_.program[0] != 0;
    result_ = shell_.extract(size_ - cabinet_, cancel_, [&](ExtractUi& ui, const std::function<void(uint64_t)>& p) {
        return extractArchive(fs_, archive_, cabinet_, ui, cp_, cancel_, es, deletions_, p);
    });
    if (cancel_.load()) return kExitEarly;
    return {};
}

int SfxRun::finish() {
    if (settings_.program[0] != 0) {
        runProgram();
        cleanUp();
        return kExitDone;
    }
    if (settings_.openFolder && result_.code == 0) shell_.openFolder(dest_);
    return kExitDone;
}

void SfxRun::runProgram() {
    ProgramCommand command = splitProgram(dest_, fieldText(settings_.program));
    if (command.inf) {
        shell_.installInf(command, mark_ == '6');
        return;
    }
    std::unique_ptr<RunningProgram> program = shell_.startProgram(command);
    if (program) waitFor(std::move(program));
}

void SfxRun::waitFor(std::unique_ptr<RunningProgram> program) {
    program->waitUntilIdle();
    shell_.sleepMs(100);
    RunningProgram::State state = program->state();
    if (!settings_.wait || state == RunningProgram::State::Unknown) return;
    // A program still running is waited for, and its installer window must show
    // up soon after; one that ended at once may have handed over to an
    // installer that takes its time to open.
    int looks = 3000;
    if (state == RunningProgram::State::Running) {
        program->waitForEnd();
        looks = 200;
    }
    program.reset();
    shell_.sleepMs(1000);
    shell_.waitForInstallerWindows(looks);
}

void SfxRun::cleanUp() {
    for (const std::string& p : deletions_.paths()) {
        fs_.setAttributes(p, 0);
        fs_.removeFile(p);
    }
    if (temporary_) {
        // The folders of the deleted files and every folder the extraction
        // made (folder-only entries make some that hold no file), deepest
        // first so that each is empty when its turn comes; a folder that still
        // holds something stays.
        std::vector<std::string> folders = deletions_.folders();
        for (const std::string& p : deletions_.paths())
            for (size_t i = p.find('\\', dest_.size()); i != std::string::npos; i = p.find('\\', i + 1))
                folders.push_back(p.substr(0, i));
        std::sort(folders.begin(), folders.end(), [](const std::string& a, const std::string& b) {
            return depth(a) != depth(b) ? depth(a) > depth(b) : a < b;
        });
        folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
        for (const std::string& f : folders) fs_.removeFolder(f);
        fs_.removeFolder(dest_.substr(0, dest_.size() - 1));
    }
    deletions_.clear();
}

void SfxRun::closeArchive() {
    if (handle_ > 0) fs_.close(handle_);
    handle_ = -1;
}

}  // namespace pakrel
