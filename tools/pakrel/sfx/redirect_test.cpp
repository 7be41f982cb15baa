// redirect: the engine's file callbacks as the self-extractor gives them, seen
// through a real walk: the cabinet inside a package at position 0, the progress,
// and the cancel flag that fails every later read.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "cabengine.h"
#include "cabformat.h"
#include "cabtest_util.h"
#include "memfs.h"
#include "redirect.h"

using namespace pakrel;
using namespace pakrel::test;

namespace {

TEST(RedirectedFiles, ShowTheCabinetAtPositionZero) {
    Bytes cab = build(cabOf({{"a", pattern(5000, 1)}}, kCompMszip)).bytes;
    Bytes pkg(12345, 0x90);
    pkg.insert(pkg.end(), cab.begin(), cab.end());
    MemFileSystem fs;
    fs.put("C:\\pkg\\setup.exe", pkg);
    fs.addFolder("C:\\pkg");
    fs.addFolder("C:\\out");
    std::atomic<int> cancel{0};
    RedirectedFiles files(fs, cancel);
    files.setArchive("C:\\pkg\\setup.exe", 12345);
    std::vector<uint64_t> progress;
    files.setProgress([&](uint64_t kib) { progress.push_back(kib); });
    files.setArchiveMode(true);

    int h = files.open("whatever.cab", OpenMode::Read);
    ASSERT_GT(h, 0);
    uint8_t sig[4];
    EXPECT_EQ(files.read(h, sig, 4), 4);
    EXPECT_EQ(std::string(sig, sig + 4), "MSCF");
    EXPECT_EQ(files.seek(h, 0, SeekFrom::Cur), 4);
    EXPECT_EQ(files.seek(h, 0, SeekFrom::End), int64_t(cab.size()));
    EXPECT_EQ(files.seek(h, 10, SeekFrom::Set), 10);
    EXPECT_EQ(files.seek(h, -1, SeekFrom::Set), -1);
    files.close(h);

    CabEngine e(files);
    int written = 0;
    bool ok = e.copy("setup.exe", "C:\\pkg\\", [&](Notify t, CabNotification& n) {
        if (t == Notify::CopyFile) { files.setArchiveMode(false); int k = files.open("C:\\out\\a", OpenMode::Write); files.setArchiveMode(true); return k; }
        if (t == Notify::CloseFile) { ++written; files.close(n.handle); return 1; }
        return 0;
    });
    EXPECT_TRUE(ok) << int(e.error());
    EXPECT_EQ(written, 1);
    EXPECT_EQ(fs.file("C:\\out\\a")->data, pattern(5000, 1));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), files.bytesRead() / 1024);

    // Cancel: every read and write fails from then on.
    cancel = 100;
    h = files.open("x", OpenMode::Read);
    uint8_t c;
    EXPECT_EQ(files.read(h, &c, 1), -1);
    files.close(h);
    EXPECT_FALSE(e.copy("setup.exe", "C:\\pkg\\", [](Notify, CabNotification&) { return 0; }));
    EXPECT_EQ(e.error(), CabError::NotACabinet);
    EXPECT_EQ(fs.openHandles(), 0);
}

}  // namespace
