// Tests of the Linux file system layer: times as local time, read-only, roots,
// code page 932.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "names.h"
#include "platform/posix/posixfs.h"

using namespace pakrel;

TEST(PosixFileSystem, TimesAttributesAndRoots) {
    char tmpl[] = "/tmp/pakrel-fs-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    std::string dir = PosixFileSystem::fromNative(tmpl);
    PosixFileSystem fs;
    std::string f = dir + "\\a.txt";
    int h = fs.open(f, OpenMode::Write);
    ASSERT_GT(h, 0);
    EXPECT_EQ(fs.write(h, "hello", 5), 5);
    EXPECT_EQ(fs.seek(h, 0, SeekFrom::Cur), 5);
    fs.close(h);
    uint16_t d, t;
    fatJoin(FatDateTime{2021, 7, 14, 13, 45, 30}, d, t);
    ASSERT_TRUE(fs.setFatTime(f, d, t));
    FileStat st = fs.stat(f);
    EXPECT_EQ(st.kind, FileKind::File);
    EXPECT_EQ(st.size, 5u);
    EXPECT_EQ(st.date, d);
    EXPECT_EQ(st.time, t);
    ASSERT_TRUE(fs.setAttributes(f, kAttrReadOnly));
    EXPECT_TRUE(fs.stat(f).attribs & kAttrReadOnly);
    ASSERT_TRUE(fs.setAttributes(f, 0));
    EXPECT_FALSE(fs.stat(f).attribs & kAttrReadOnly);
    EXPECT_EQ(fs.open(dir, OpenMode::Read), -1) << "a folder is not a file";
    EXPECT_EQ(fs.stat(dir).kind, FileKind::Folder);
    EXPECT_EQ(fs.rootLength("\\tmp\\x"), 1);
    EXPECT_EQ(fs.rootLength("rel\\x"), 0);
    EXPECT_TRUE(fs.removeFile(f));
    EXPECT_TRUE(fs.removeFolder(dir));
}

TEST(PosixFileSystem, CodePage932) {
    Cp932CodePage cp;
    EXPECT_EQ(cp.toUtf8("\x83\x65\x83\x58\x83\x67.txt"), "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt");
    EXPECT_EQ(cp.toUtf8("\xB1"), "\xEF\xBD\xB1");  // half-width katakana
    EXPECT_EQ(cp.toUtf8("a\x83"), "a\xEF\xBF\xBD") << "a cut double-byte character";
    EXPECT_TRUE(cp.isLeadByte(0x81));
    EXPECT_TRUE(cp.isLeadByte(0xFC));
    EXPECT_FALSE(cp.isLeadByte(0xA0));
    EXPECT_FALSE(cp.isLeadByte(0x80));
    // The rule picks code page 932 for a Shift-JIS name.
    EXPECT_EQ(decodeEntryName("\x83\x65\x83\x58\x83\x67", cp), "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88");
}
