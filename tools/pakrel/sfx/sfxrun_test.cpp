// Tests of the self-extractor's run: the order of its steps and the exit code
// of every way out, over the in-memory file system with a shell that records
// what the user would have seen and answers from a script.
#include <gtest/gtest.h>

#include "cabtest_util.h"
#include "crc.h"
#include "memfs.h"
#include "sfxrun.h"

using namespace pakrel;
using namespace pakrel::test;

namespace {

constexpr int64_t kImage = 1024;  // the program image in front of the block
const char kPackage[] = "C:\\pkg\\setup.exe";

struct Ascii : CodePage {
    bool isLeadByte(uint8_t) const override { return false; }
    std::string toUtf8(const std::string& s) const override { return s; }
};

struct Folders : MacroFolders {
    std::string folder(Macro m) override { return m == Macro::Temp ? "C:\\tmp\\" : ""; }
};

struct Log {
    std::vector<std::string> events;
    void add(const std::string& e) { events.push_back(e); }
};

struct FakeProgram : RunningProgram {
    Log& log;
    State st;
    FakeProgram(Log& l, State s) : log(l), st(s) {}
    ~FakeProgram() override { log.add("close"); }
    void waitUntilIdle() override { log.add("idle"); }
    State state() override { return st; }
    void waitForEnd() override { log.add("wait-end"); }
};

struct AnswerAll : ExtractUi {
    void invalidName(const std::string&) override {}
    void folderFailed(const std::string&) override {}
    OverwriteAnswer askOverwrite(const std::string&, const FileStat&, uint16_t, uint16_t, uint32_t) override {
        return OverwriteAnswer::Yes;
    }
    bool retryOpen(const std::string&) override { return false; }
};

struct ScriptShell : SfxShell {
    Log log;
    MemFileSystem& fs;
    bool nt = true, wow = true, yes = true, create = true, dialogOk = true, cancelExtraction = false;
    int retries = 0;
    std::string line = "setup.exe", dialogDest;
    int64_t blockOffset = kImage;
    RunningProgram::State programState = RunningProgram::State::Running;
    // What the carried program saw of the destination while it ran.
    std::vector<std::string> filesSeenByProgram;

    explicit ScriptShell(MemFileSystem& f) : fs(f) {}

    bool ntFamily() override { return nt; }
    bool underWow64() override { return wow; }
    void prepareUi() override { log.add("ui"); }
    std::string commandLine() override { return line; }
    std::string ownPath() override { return kPackage; }
    int64_t ownBlockOffset() override { return blockOffset; }
    void error(SfxText t, const std::string& arg) override {
        log.add("error " + std::to_string(int(t)) + (arg.empty() ? "" : " " + arg));
    }
    bool retryOpen() override {
        log.add("retry?");
        return retries-- > 0;
    }
    bool askQuestion(const std::string& q, const std::string& title) override {
        log.add("question " + title + ": " + q);
        return yes;
    }
    bool askCreateFolder(const std::string& p) override {
        log.add("create? " + p);
        return create;
    }
    bool destinationDialog(PackageBlock& s, const std::string& base) override {
        log.add("dialog " + base + " " + fieldText(s.destination));
        if (!dialogDest.empty()) setField(s.destination, dialogDest);
        dialogDest.clear();  // the next showing takes what the run put back
        return dialogOk;
    }
    void checkWindowOpen(uint64_t units) override { log.add("check " + std::to_string(units)); }
    void checkWindowStep(uint64_t) override {}
    void checkWindowClose() override { log.add("check-end"); }
    ExtractResult extract(int64_t, std::atomic<int>& cancel, const ExtractWork& work) override {
        log.add("extract");
        AnswerAll ui;
        ExtractResult r = work(ui, nullptr);
        if (cancelExtraction) cancel.store(100);
        return r;
    }
    void installInf(const ProgramCommand& c, bool noRedirect) override {
        log.add(std::string("inf ") + c.file + (noRedirect ? " unredirected" : ""));
    }
    std::unique_ptr<RunningProgram> startProgram(const ProgramCommand& c) override {
        log.add("start " + c.file + " [" + c.parameters + "] in " + c.folder);
        for (const auto& f : fs.files())
            if (f.first.rfind(c.folder, 0) == 0) filesSeenByProgram.push_back(f.first);
        return std::make_unique<FakeProgram>(log, programState);
    }
    void sleepMs(unsigned ms) override { log.add("sleep " + std::to_string(ms)); }
    void waitForInstallerWindows(int looks) override { log.add("installers " + std::to_string(looks)); }
    void openFolder(const std::string& p) override { log.add("open " + p); }
};

struct PackageSpec {
    BlockValues block = [] {
        BlockValues v;
        v.destination = "%temp%";
        v.program = "orvane3uploader.exe -x";
        v.title = "T";
        v.noQuestions = v.wait = v.hideDialog = true;
        return v;
    }();
    bool crc = false, badCrc = false;
};

// A package: image, block, a cabinet with files in folders and a folder-only entry.
Bytes package(const PackageSpec& p) {
    TCab c = cabOf({{"orvane3uploader.exe", bytesOf("MZ")},
                    {"files\\home\\update_orv3.inc", bytesOf("inc1")},
                    {"files\\update_bt.inc", bytesOf("inc2")}},
                   0);
    TFile empty;
    empty.name = "files\\logs\\";
    c.files.push_back(empty);
    Bytes cab = build(c).bytes;
    PackageBlock b = makeBlock(p.block);
    if (p.crc) b.crc = crc32Update(0, cab.data(), cab.size()) ^ (p.badCrc ? 1u : 0u);
    Bytes out(size_t(kImage), 'Z');
    out.resize(out.size() + kBlockSize);
    encodeBlock(b, out.data() + kImage);
    out.insert(out.end(), cab.begin(), cab.end());
    return out;
}

struct PackageRun {
    MemFileSystem fs;
    ScriptShell shell{fs};
    Ascii cp;
    Folders macros;
    SfxRun run{shell, fs, macros, cp};
    explicit PackageRun(const PackageSpec& p = {}) {
        fs.addFolder("C:\\pkg");
        fs.addFolder("C:\\tmp");
        fs.put(kPackage, package(p));
    }
    int go() {
        int code = run.run();
        EXPECT_EQ(fs.openHandles(), 0);
        return code;
    }
};

using Events = std::vector<std::string>;

}  // namespace

TEST(SfxRun, ShippedPackageRunsWaitsAndRemovesEverything) {
    PackageRun r;
    ASSERT_EQ(r.go(), kExitDone);
    const std::string dest = "C:\\tmp\\~setup.exe\\";
    EXPECT_EQ(r.shell.log.events,
              (Events{"ui", "extract", "start " + dest + "orvane3uploader.exe [-x] in " + dest, "idle", "sleep 100",
                      "wait-end", "close", "sleep 1000", "installers 200"}));
    EXPECT_EQ(r.shell.filesSeenByProgram,
              (Events{dest + "files\\home\\update_orv3.inc", dest + "files\\update_bt.inc", dest + "orvane3uploader.exe"}));
    // Files, their folders, the folder-only entry's folder and the
    // destination are gone; the package and the folders it found stay.
    EXPECT_EQ(r.fs.files().size(), 1u);
    EXPECT_EQ(r.fs.folders(), (std::set<std::string>{"C:", "C:\\pkg", "C:\\tmp"}));
}

TEST(SfxRun, WaysOutAndTheirExitCodes) {
    struct Case {
        const char* what;
        PackageSpec spec;
        std::function<void(ScriptShell&)> setUp;
        int code;
        Events events;
    } cases[] = {
        {"not an NT system", {}, [](ScriptShell& s) { s.nt = false; }, kExitNotNt, {"error 13"}},
        {"no room for a block", {}, [](ScriptShell& s) { s.blockOffset = 1 << 20; }, kExitEarly, {"ui"}},
        {"unreadable headers", {}, [](ScriptShell& s) { s.blockOffset = -1; }, kExitEarly, {"ui"}},
        {"64-bit package without WOW64",
         [] { PackageSpec p; p.block.platform = '6'; return p; }(),
         [](ScriptShell& s) { s.wow = false; }, kExitEarly, {"ui", "error 12"}},
        {"64-bit package without a program is no 64-bit package",
         [] { PackageSpec p; p.block.platform = '6'; p.block.program = ""; return p; }(),
         [](ScriptShell& s) { s.wow = false; }, kExitDone, {"ui", "extract"}},
        {"archive that cannot be opened",
         {},
         [](ScriptShell& s) { s.line = "setup.exe C:\\none.cab"; s.retries = 1; },
         kExitEarly, {"ui", "retry?", "retry?", "error 2"}},
        {"archive without a cabinet",
         {},
         [](ScriptShell& s) { s.line = "setup.exe C:\\pkg\\x.cab"; s.fs.put("C:\\pkg\\x.cab", "no cabinet"); },
         kExitEarly, {"ui", "error 3"}},
        {"declined question",
         [] { PackageSpec p; p.block.question = "Update?"; return p; }(),
         [](ScriptShell& s) { s.yes = false; }, kExitEarly, {"ui", "question T: Update?"}},
        {"CRC mismatch with a program",
         [] { PackageSpec p; p.crc = p.badCrc = true; return p; }(),
         nullptr, kExitEarly, {"ui", "check 0", "check-end", "error 8 C:\\pkg\\setup.exe"}},
        {"CRC mismatch without a program goes on",
         [] { PackageSpec p; p.crc = p.badCrc = true; p.block.program = ""; return p; }(),
         nullptr, kExitDone, {"ui", "check 0", "check-end", "error 8 C:\\pkg\\setup.exe", "extract"}},
        {"CRC right",
         [] { PackageSpec p; p.crc = true; p.block.program = ""; return p; }(),
         nullptr, kExitDone, {"ui", "check 0", "check-end", "extract"}},
        {"destination dialog cancelled",
         [] { PackageSpec p; p.block.hideDialog = false; return p; }(),
         [](ScriptShell& s) { s.dialogOk = false; }, kExitEarly, {"ui", "dialog setup C:\\tmp\\~setup.exe"}},
        {"folder question declined",
         [] { PackageSpec p; p.block.noQuestions = false; return p; }(),
         [](ScriptShell& s) { s.create = false; }, kExitDone, {"ui", "create? C:\\tmp\\~setup.exe\\"}},
        {"folder that cannot be made",
         [] { PackageSpec p; p.block.destination = "relative"; p.block.hideDialog = true; return p; }(),
         [](ScriptShell& s) { s.fs.failFolder("C:\\pkg\\relative"); }, kExitEarly, {"ui", "error 7"}},
        {"extraction cancelled",
         {},
         [](ScriptShell& s) { s.cancelExtraction = true; }, kExitEarly, {"ui", "extract"}},
        {"no program, open folder",
         [] { PackageSpec p; p.block.program = ""; p.block.openFolder = true; p.block.destination = "C:\\out"; return p; }(),
         nullptr, kExitDone, {"ui", "extract", "open C:\\out\\"}},
        {"program ended at once, no installer yet",
         {},
         [](ScriptShell& s) { s.programState = RunningProgram::State::Ended; }, kExitDone,
         {"ui", "extract", "start C:\\tmp\\~setup.exe\\orvane3uploader.exe [-x] in C:\\tmp\\~setup.exe\\", "idle",
          "sleep 100", "close", "sleep 1000", "installers 3000"}},
        {"exit code unknown: no waiting",
         {},
         [](ScriptShell& s) { s.programState = RunningProgram::State::Unknown; }, kExitDone,
         {"ui", "extract", "start C:\\tmp\\~setup.exe\\orvane3uploader.exe [-x] in C:\\tmp\\~setup.exe\\", "idle",
          "sleep 100", "close"}},
        {"no wait flag: started, not waited for",
         [] { PackageSpec p; p.block.wait = false; p.block.destination = "C:\\out"; return p; }(),
         nullptr, kExitDone,
         {"ui", "extract", "start C:\\out\\orvane3uploader.exe [-x] in C:\\out\\", "idle", "sleep 100", "close"}},
        {"an .inf is installed, without redirection on 64-bit",
         [] { PackageSpec p; p.block.program = "setup.INF"; p.block.platform = '6'; p.block.destination = "C:\\out"; return p; }(),
         nullptr, kExitDone, {"ui", "extract", "inf C:\\out\\setup.INF unredirected"}},
    };
    for (const Case& c : cases) {
        PackageRun r(c.spec);
        if (c.setUp) c.setUp(r.shell);
        EXPECT_EQ(r.go(), c.code) << c.what;
        EXPECT_EQ(r.shell.log.events, c.events) << c.what;
    }
}

TEST(SfxRun, DestinationChoices) {
    struct Case {
        const char* what;
        PackageSpec spec;
        std::string line, dialogDest, dest;
    } cases[] = {
        {"%temp% without waiting is the temporary folder itself",
         [] { PackageSpec p; p.block.wait = false; p.block.program = ""; return p; }(), "setup.exe", "", "C:\\tmp\\"},
        {"empty destination: the archive's folder",
         [] { PackageSpec p; p.block.destination = ""; p.block.program = ""; return p; }(), "setup.exe", "", "C:\\pkg\\"},
        {"relative to the archive's folder",
         [] { PackageSpec p; p.block.destination = "..\\out"; p.block.program = ""; return p; }(), "setup.exe", "", "C:\\out\\"},
        {"a wildcard in the dialog's answer goes back to the archive's folder",
         [] { PackageSpec p; p.block.hideDialog = false; p.block.program = ""; return p; }(), "setup.exe", "C:\\a*b", "C:\\pkg\\"},
        {"named archive: the block is not read, options count",
         {}, "setup.exe /h /o C:\\pkg\\setup.exe", "", "C:\\pkg\\"},
    };
    for (const Case& c : cases) {
        PackageRun r(c.spec);
        r.shell.line = c.line;
        r.shell.dialogDest = c.dialogDest;
        ASSERT_EQ(r.go(), kExitDone) << c.what;
        EXPECT_EQ(r.run.destination(), c.dest) << c.what;
        EXPECT_TRUE(r.fs.file(c.dest + "files\\update_bt.inc")) << c.what << ": nothing is removed without a program";
    }
}
