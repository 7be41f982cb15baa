// Tests of the extraction policy over an in-memory file system: where each
// entry goes, the overwrite rules, attributes and dates, wrong sizes, the
// deletion list and folder failures.
#include <gtest/gtest.h>

#include <atomic>

#include "cabtest_util.h"
#include "extract.h"
#include "memfs.h"

using namespace pakrel;
using namespace pakrel::test;

namespace {

struct Latin1 : CodePage {
    bool isLeadByte(uint8_t b) const override { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
    std::string toUtf8(const std::string& s) const override {
        std::string o;
        for (char c : s) {
            uint8_t u = uint8_t(c);
            if (u < 0x80) o.push_back(c);
            else { o.push_back(char(0xC0 | u >> 6)); o.push_back(char(0x80 | (u & 0x3F))); }
        }
        return o;
    }
};

struct ScriptUi : ExtractUi {
    std::vector<OverwriteAnswer> answers;
    std::vector<std::string> asked, invalid, folderErrors, shown;
    int retries = 0;
    void currentFile(const std::string& n) override { shown.push_back(n); }
    void invalidName(const std::string& n) override { invalid.push_back(n); }
    void folderFailed(const std::string& p) override { folderErrors.push_back(p); }
    OverwriteAnswer askOverwrite(const std::string& p, const FileStat&, uint16_t, uint16_t, uint32_t) override {
        asked.push_back(p);
        if (answers.empty()) return OverwriteAnswer::No;
        OverwriteAnswer a = answers.front();
        answers.erase(answers.begin());
        return a;
    }
    bool retryOpen(const std::string&) override { return retries-- > 0; }
};

struct Walk {
    MemFileSystem fs;
    ScriptUi ui;
    Latin1 cp;
    std::atomic<int> cancel{0};
    ExtractSettings s;
    DeletionList deletions;
    Walk() {
        fs.addFolder("C:\\pkg");
        fs.addFolder("C:\\dest");
        s.destination = "C:\\dest\\";
        s.noQuestions = true;
    }
    ExtractResult go(const TCab& c) {
        fs.put("C:\\pkg\\setup.exe", build(c).bytes);
        ExtractResult r = extractArchive(fs, "C:\\pkg\\setup.exe", 0, ui, cp, cancel, s, deletions);
        EXPECT_EQ(fs.openHandles(), 0);
        return r;
    }
    std::string at(const std::string& p) { return fs.text(p); }
};

TFile entry(const std::string& name, uint32_t size, uint32_t off, uint16_t date = 0x5A21, uint16_t attribs = 0x20) {
    TFile f;
    f.name = name;
    f.size = size;
    f.offset = off;
    f.date = date;
    f.attribs = attribs;
    return f;
}

TCab folderCab(const std::vector<TFile>& files, const Bytes& data) {
    TCab c = cabOf({{"all", data}}, 1);
    c.files = files;
    return c;
}

}  // namespace

TEST(ExtractPolicy, NamesArePlacedInsideTheDestination) {
    Walk r;
    Bytes data = bytesOf("0123456789");
    TCab c = folderCab({entry("..\\..\\up.txt", 2, 0), entry("a:b", 2, 2), entry("   ", 1, 4),
                        entry("sub\\deep\\f.txt", 2, 5), entry("only\\folder\\", 0, 0),
                        entry("\\\\server\\share\\s", 1, 7), entry("caf\xE9", 1, 8), entry("a/../../../x", 1, 9)},
                       data);
    ASSERT_EQ(r.go(c).code, 0);
    EXPECT_EQ(r.at("C:\\dest\\up.txt"), "01");
    EXPECT_EQ(r.at("C:\\dest\\a_b"), "23");
    EXPECT_EQ(r.ui.invalid.size(), 1u) << "the blank name is reported and skipped";
    EXPECT_EQ(r.at("C:\\dest\\sub\\deep\\f.txt"), "56");
    EXPECT_TRUE(r.fs.folders().count("C:\\dest\\only\\folder"));
    EXPECT_EQ(r.at("C:\\dest\\server\\share\\s"), "7");
    EXPECT_EQ(r.at("C:\\dest\\caf\xC3\xA9"), "8");
    EXPECT_EQ(r.at("C:\\dest\\a\\x"), "9");
    for (const auto& [path, node] : r.fs.files()) {
        if (path == "C:\\pkg\\setup.exe") continue;
        EXPECT_EQ(path.rfind("C:\\dest\\", 0), 0u) << path;
    }
}

// Names of more than 260 characters, and output paths with no room for their
// terminating zero in 260 characters (the memory file system has Windows'
// limit), are skipped as invalid names; counted in characters, not bytes.
TEST(ExtractPolicy, OverlongNamesAndPathsAreSkippedAsInvalid) {
    const std::string d = "C:\\dest\\";  // 8 characters
    auto steps = [](int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += "..\\";
        return s;
    };
    const std::string e = "\xC3\xA9";  // one character, two bytes
    struct Case { std::string name, path; } cases[] = {
        {std::string(251, 'a'), d + std::string(251, 'a')},  // 259 characters and the zero
        {std::string(252, 'b'), ""},
        {"sub\\" + std::string(247, 'c'), d + "sub\\" + std::string(247, 'c')},
        {"sub\\" + std::string(248, 'c'), ""},
        {std::string(250, 'f') + e, d + std::string(250, 'f') + e},
        {std::string(251, 'f') + e, ""},
        {steps(86) + "ab", d + "ab"},  // a 260-character name
        {steps(87) + "x", ""},         // 262 characters, although "x" would fit
    };
    for (const auto& c : cases) {
        Walk r;
        RedirectedFiles files(r.fs, r.cancel);
        Extractor ex(r.fs, files, r.ui, r.cp, r.cancel, r.s, r.deletions);
        CabNotification n;
        n.name = c.name;
        n.size = 0;
        int h = ex(Notify::CopyFile, n);
        if (c.path.empty()) {
            EXPECT_EQ(h, 0) << c.name.size();
            EXPECT_EQ(r.ui.invalid, std::vector<std::string>{c.name}) << c.name.size();
            EXPECT_EQ(r.cancel.load(), 0);
            continue;
        }
        ASSERT_GT(h, 0) << c.name.size();
        EXPECT_EQ(ex.currentPath(), c.path);
        EXPECT_TRUE(r.ui.invalid.empty()) << c.name.size();
        n.handle = h;
        EXPECT_EQ(ex(Notify::CloseFile, n), 1);
    }
    // In a walk the skipped entry costs nothing else.
    Walk w;
    ExtractResult res = w.go(folderCab({entry(std::string(252, 'b'), 1, 0), entry("next.txt", 1, 1)}, bytesOf("xy")));
    EXPECT_EQ(res.code, 0);
    EXPECT_EQ(w.ui.invalid.size(), 1u);
    EXPECT_EQ(w.at("C:\\dest\\next.txt"), "y");
}

TEST(ExtractPolicy, DateTimeAttributesAndReadOnlyReextraction) {
    Walk r;
    TCab c = folderCab({entry("ro.txt", 3, 0, 0x5A21, 0x21 | 0x40 | 0x10 | 0x80)}, bytesOf("abc"));
    ASSERT_EQ(r.go(c).code, 0);
    const auto* n = r.fs.file("C:\\dest\\ro.txt");
    ASSERT_TRUE(n);
    EXPECT_EQ(n->date, 0x5A21);
    EXPECT_EQ(n->time, 0x6000);
    EXPECT_EQ(n->attribs, 0x21) << "masked with 0x27";
    // Again over the read-only file: its attribute is cleared first.
    ASSERT_EQ(r.go(c).code, 0);
    EXPECT_EQ(r.at("C:\\dest\\ro.txt"), "abc");
}

TEST(ExtractPolicy, OverwriteRules) {
    const uint16_t older = 0x5A21 - 1, same = 0x5A21, newer = 0x5A21 + 1;
    struct Case {
        const char* what;
        bool noQuestions, newerOnly;
        uint16_t existingDate;
        std::vector<OverwriteAnswer> answers;
        bool replaced;
        size_t questions;
    } cases[] = {
        {"no questions", true, false, newer, {}, true, 0},
        {"newer only, existing older", false, true, older, {}, true, 0},
        {"newer only, existing same", false, true, same, {}, false, 0},
        {"newer only, existing newer", false, true, newer, {}, false, 0},
        {"asked: yes", false, false, newer, {OverwriteAnswer::Yes}, true, 1},
        {"asked: no", false, false, older, {OverwriteAnswer::No}, false, 1},
        {"asked: newer, existing newer", false, false, newer, {OverwriteAnswer::Newer}, false, 1},
        {"asked: newer, existing older", false, false, older, {OverwriteAnswer::Newer}, true, 1},
    };
    for (const auto& k : cases) {
        Walk r;
        r.s.noQuestions = k.noQuestions;
        r.s.newerOnly = k.newerOnly;
        r.ui.answers = k.answers;
        r.fs.put("C:\\dest\\f", "old");
        r.fs.file("C:\\dest\\f")->date = k.existingDate;
        r.fs.file("C:\\dest\\f")->time = 0x6000;
        ASSERT_EQ(r.go(folderCab({entry("f", 3, 0)}, bytesOf("new"))).code, 0) << k.what;
        EXPECT_EQ(r.at("C:\\dest\\f"), k.replaced ? "new" : "old") << k.what;
        EXPECT_EQ(r.ui.asked.size(), k.questions) << k.what;
    }
}

TEST(ExtractPolicy, YesToAllAndNewerAreNotAskedAgain) {
    for (auto first : {OverwriteAnswer::YesToAll, OverwriteAnswer::Newer}) {
        Walk r;
        r.s.noQuestions = false;
        r.ui.answers = {first};
        for (const char* p : {"C:\\dest\\a", "C:\\dest\\b", "C:\\dest\\c"}) {
            r.fs.put(p, "old");
            r.fs.file(p)->date = 0x1000;  // older than the entries
        }
        ASSERT_EQ(r.go(folderCab({entry("a", 1, 0), entry("b", 1, 1), entry("c", 1, 2)}, bytesOf("xyz"))).code, 0);
        EXPECT_EQ(r.ui.asked.size(), 1u);
        EXPECT_EQ(r.at("C:\\dest\\c"), "z");
    }
}

TEST(ExtractPolicy, CancelInTheQuestionStopsTheWalk) {
    Walk r;
    r.s.noQuestions = false;
    r.ui.answers = {OverwriteAnswer::Cancel};
    r.fs.put("C:\\dest\\b", "old");
    ExtractResult res = r.go(folderCab({entry("a", 1, 0), entry("b", 1, 1), entry("c", 1, 2)}, bytesOf("xyz")));
    EXPECT_EQ(res.code, -1);
    EXPECT_EQ(res.error, CabError::UserAbort);
    EXPECT_EQ(r.cancel.load(), 100);
    EXPECT_EQ(r.at("C:\\dest\\a"), "x") << "what was written stays";
    EXPECT_EQ(r.at("C:\\dest\\b"), "old");
    EXPECT_FALSE(r.fs.file("C:\\dest\\c"));
}

TEST(ExtractPolicy, FolderFailureSetsCancelAndStops) {
    Walk r;
    r.fs.failFolder("C:\\dest\\bad");
    ExtractResult res = r.go(folderCab({entry("bad\\x", 1, 0), entry("y", 1, 1)}, bytesOf("xy")));
    EXPECT_EQ(res.code, -1);
    EXPECT_NE(r.cancel.load(), 0);
    ASSERT_EQ(r.ui.folderErrors.size(), 1u);
    EXPECT_EQ(r.ui.folderErrors[0], "C:\\dest\\bad\\");
    EXPECT_FALSE(r.fs.file("C:\\dest\\y"));
}

TEST(ExtractPolicy, OpenFailureAsksRetryThenStops) {
    Walk r;
    r.fs.put("C:\\dest\\locked", "x");
    r.fs.file("C:\\dest\\locked")->attribs = 0;  // the policy clears it anyway
    r.fs.addFolder("C:\\dest\\isdir");
    r.ui.retries = 2;
    ExtractResult res = r.go(folderCab({entry("isdir", 1, 0)}, bytesOf("x")));
    EXPECT_EQ(res.error, CabError::UserAbort);
    EXPECT_EQ(r.ui.retries, -1) << "two retries, then given up";
}

TEST(ExtractPolicy, WrongSizeIsDeletedAndWriteFailureKeepsThePart) {
    Walk r;
    RedirectedFiles files(r.fs, r.cancel);
    Extractor ex(r.fs, files, r.ui, r.cp, r.cancel, r.s, r.deletions);
    CabNotification n;
    n.name = "short";
    n.size = 10;
    int h = ex(Notify::CopyFile, n);
    ASSERT_GT(h, 0);
    EXPECT_EQ(files.write(h, "abc", 3), 3);
    n.handle = h;
    EXPECT_EQ(ex(Notify::CloseFile, n), 1);
    EXPECT_FALSE(r.fs.file("C:\\dest\\short"));

    Walk w;
    w.fs.failWritesAfter(40000);
    ExtractResult res = w.go(cabOf({{"big", pattern(100000, 1)}}, 1));
    EXPECT_EQ(res.error, CabError::TargetFile);
    ASSERT_TRUE(w.fs.file("C:\\dest\\big"));
    EXPECT_EQ(w.fs.file("C:\\dest\\big")->data.size(), 32768u);
}

TEST(ExtractPolicy, DeletionListRecordsWrittenFilesWhenAProgramWaits) {
    for (bool record : {false, true}) {
        Walk r;
        r.s.recordForDeletion = record;
        r.fs.addFolder("C:\\dest\\old");
        ASSERT_EQ(r.go(folderCab({entry("a", 1, 0), entry("d\\b", 1, 1), entry("  ", 1, 0), entry("e\\f\\", 0, 0),
                                  entry("old\\c", 1, 0)},
                                 bytesOf("ab")))
                      .code,
                  0);
        std::vector<std::string> want, wantFolders;
        if (record) {
            want = {"C:\\dest\\a", "C:\\dest\\d\\b", "C:\\dest\\old\\c"};
            // Only folders the walk made, those of folder-only entries included.
            wantFolders = {"C:\\dest\\d", "C:\\dest\\e", "C:\\dest\\e\\f"};
        }
        EXPECT_EQ(r.deletions.paths(), want);
        EXPECT_EQ(r.deletions.folders(), wantFolders);
    }
    DeletionList list;
    EXPECT_EQ(list.room(), 257u);
    for (int i = 0; i < 258; ++i) list.add("f" + std::to_string(i));
    EXPECT_EQ(list.room(), 513u);
    EXPECT_EQ(list.paths()[257], "f257");
    list.addFolder("d");
    list.clear();
    EXPECT_TRUE(list.paths().empty());
    EXPECT_TRUE(list.folders().empty());
}

TEST(ExtractPolicy, NextCabinetAnswer) {
    Walk r;
    RedirectedFiles files(r.fs, r.cancel);
    files.setArchive("C:\\pkg\\setup.exe", 500);
    Extractor ex(r.fs, files, r.ui, r.cp, r.cancel, r.s, r.deletions);
    CabNotification n;
    EXPECT_EQ(ex(Notify::NextCabinet, n), -1) << "no current file";
    n.name = "cur";
    n.size = 1;
    int h = ex(Notify::CopyFile, n);
    ASSERT_GT(h, 0);
    EXPECT_EQ(ex(Notify::NextCabinet, n), 0);
    EXPECT_EQ(files.cabinetOffset(), 0);
    r.cancel = 1;
    EXPECT_EQ(ex(Notify::NextCabinet, n), -1);
    files.close(h);
    EXPECT_TRUE(ex.askedForNextCabinet());
}

TEST(FolderCreation, EveryLevelFromTheRoot) {
    MemFileSystem fs;
    EXPECT_TRUE(makeFolders(fs, "C:\\a\\b\\c"));
    EXPECT_TRUE(fs.folders().count("C:\\a\\b\\c"));
    EXPECT_TRUE(makeFolders(fs, "C:\\a\\b\\c\\"));
    EXPECT_FALSE(makeFolders(fs, "relative\\x")) << "this file system accepts drive paths only";
    fs.put("C:\\file", "x");
    EXPECT_FALSE(makeFolders(fs, "C:\\file\\sub"));
}
