// Tests of the package block, the settings record, macros, destination rules
// and the block offset of a program image.
#include <gtest/gtest.h>

#include <cstring>

#include "block.h"
#include "pe.h"

using namespace pakrel;

namespace {
struct Folders : MacroFolders {
    std::string folder(Macro m) override {
        switch (m) {
        case Macro::Desktop: return "C:\\Users\\u\\Desktop";
        case Macro::MyDocuments: return "C:\\Users\\u\\Documents\\";
        case Macro::ProgramFiles: return "C:\\Program Files";
        case Macro::SystemDir: return "C:\\Windows\\system32";
        case Macro::WinDir: return "C:\\Windows";
        case Macro::Temp: return "C:\\Temp\\";
        }
        return {};
    }
};
}  // namespace

TEST(PackageBlock, BytesAtTheirOffsets) {
    PackageBlock b = emptyBlock();
    setField(b.destination, "%temp%");
    setField(b.program, "orvane3uploader.exe");
    b.noQuestions = 1;
    b.openFolder = 0x01020304;
    b.wait = 1;
    b.hideDialog = 1;
    b.crc = 0xCAFEBABE;
    setField(b.title, "T");
    setField(b.question, "Q?");
    uint8_t raw[kBlockSize];
    encodeBlock(b, raw);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(raw), 8), "PAKREL3U");
    EXPECT_EQ(raw[0x008], '%');
    EXPECT_EQ(raw[0x009], 0);
    EXPECT_EQ(raw[0x00A], 't');
    EXPECT_EQ(raw[0x210], 'o');
    EXPECT_EQ(raw[0x310], 1);
    EXPECT_EQ(raw[0x314], 4);
    EXPECT_EQ(raw[0x317], 1);
    EXPECT_EQ(raw[0x318], 1);
    EXPECT_EQ(raw[0x31C], 1);
    EXPECT_EQ(raw[0x320], 0xBE);
    EXPECT_EQ(raw[0x323], 0xCA);
    EXPECT_EQ(raw[0x324], 'T');
    EXPECT_EQ(raw[0x364], 'Q');
    EXPECT_EQ(raw[0x366], '?');
    PackageBlock back;
    decodeBlock(raw, back);
    EXPECT_EQ(std::memcmp(&back, &b, sizeof b), 0);
    EXPECT_EQ(fieldText(back.program), "orvane3uploader.exe");
}

TEST(PackageBlock, MagicComparesAllButThePlatformMark) {
    struct Case { const char* magic; bool ok; char mark; } cases[] = {
        {"PAKREL3U", true, '3'}, {"PAKREL6U", true, '6'}, {"PAKRELxU", true, 'x'},
        {"PAKREL3u", false, '3'}, {"pAKREL3U", false, '3'}, {"PAKRE_3U", false, '3'},
    };
    for (const auto& c : cases) {
        PackageBlock b = emptyBlock();
        std::memcpy(b.magic, c.magic, 8);
        EXPECT_EQ(blockMagicOk(b), c.ok) << c.magic;
        EXPECT_EQ(platformMark(b), c.mark);
    }
}

TEST(PackageBlock, TextFieldsAreBoundedBothWays) {
    PackageBlock b = emptyBlock();
    // A field without a terminating zero ends at its width.
    for (auto& c : b.title) c = u'x';
    EXPECT_EQ(fieldText(b.title), std::string(32, 'x'));
    // A text that is too long is cut so that the zero fits.
    setField(b.title, std::string(100, 'y'));
    EXPECT_EQ(fieldText(b.title), std::string(31, 'y'));
    EXPECT_EQ(b.title[31], 0);
    // Never half a surrogate pair at the cut.
    setField(b.title, std::string(30, 'z') + "\xF0\x9F\x98\x80");
    EXPECT_EQ(fieldText(b.title), std::string(30, 'z'));
    setField(b.question, "\xE6\x9B\xB4\xE6\x96\xB0");
    EXPECT_EQ(b.question[0], 0x66F4);
    EXPECT_EQ(fieldText(b.question), "\xE6\x9B\xB4\xE6\x96\xB0");
}

TEST(Settings, StartValuesAndHowTheBlockReplacesThem) {
    PackageBlock s = initialSettings();
    EXPECT_EQ(s.openFolder, 1u);
    EXPECT_EQ(s.noQuestions + s.wait + s.hideDialog + s.crc, 0u);
    setField(s.destination, "C:\\from\\options");
    s.noQuestions = 1;
    Folders f;

    PackageBlock b = emptyBlock();
    std::memcpy(b.magic, "PAKREL6U", 8);
    b.wait = 1;
    b.openFolder = 0;
    EXPECT_FALSE(applyBlock(s, b, f, "pkg.exe"));
    EXPECT_EQ(fieldText(s.destination), "C:\\from\\options") << "an empty block destination keeps it";
    EXPECT_EQ(s.wait, 0u) << "no program: no waiting";
    EXPECT_EQ(platformMark(s), '3');
    EXPECT_EQ(s.noQuestions, 0u);
    EXPECT_EQ(s.openFolder, 0u);

    setField(b.program, "orvane3uploader.exe");
    setField(b.destination, "%temp%");
    b.crc = 77;
    EXPECT_TRUE(applyBlock(s, b, f, "pkg.exe"));
    EXPECT_EQ(fieldText(s.destination), "C:\\Temp\\~pkg.exe");
    EXPECT_EQ(s.wait, 1u);
    EXPECT_EQ(s.crc, 77u);
    EXPECT_EQ(platformMark(s), '6');
}

TEST(Settings, FolderMacros) {
    Folders f;
    struct Case { std::string dest; bool wait; std::string want; bool temporary; } cases[] = {
        {"%temp%", true, "C:\\Temp\\~pkg.exe", true},
        {"%temp%", false, "C:\\Temp", false},
        {"%temp%\\x", true, "C:\\Temp\\x", false},
        {"%Desktop%\\out", false, "C:\\Users\\u\\Desktop\\out", false},
        {"%MyDocuments%\\d", false, "C:\\Users\\u\\Documents\\d", false},
        {"%ProgramFiles%\\Orvane", false, "C:\\Program Files\\Orvane", false},
        {"%SystemDir%", false, "C:\\Windows\\system32", false},
        {"%WinDir%\\x", false, "C:\\Windows\\x", false},
        {"%desktop%\\x", false, "\\x", false},        // names are case-sensitive
        {"%Nope%\\folder", false, "\\folder", false},  // unknown: nothing
        {"%unterminated", false, "%unterminated", false},
        {"D:\\plain", true, "D:\\plain", false},
    };
    for (const auto& c : cases) {
        bool temp = !c.temporary;
        EXPECT_EQ(expandDestination(c.dest, f, c.wait, "pkg.exe", &temp), c.want) << c.dest;
        EXPECT_EQ(temp, c.temporary) << c.dest;
    }
}

TEST(Destination, ResolutionTable) {
    const std::string a = "C:\\pkgs\\sub\\";
    struct Case { std::string d, want; } cases[] = {
        {"", a},
        {"out", a + "out"},
        {"D:", "D:"},
        {".\\out", a + "out"},
        {"\\out", a + "out"},
        {"..\\out", "C:\\pkgs\\out"},
        {"..\\..\\out", "C:\\out"},
        {"..\\..\\..\\out", a},
        {"D:\\x", "D:\\x"},
        {"\\\\srv\\share\\x", "\\\\srv\\share\\x"},
        {"a\\b", "a\\b"},
    };
    for (const auto& c : cases) EXPECT_EQ(resolveDestination(a, c.d), c.want) << c.d;
}

TEST(Destination, FinalFormAndFallBack) {
    const std::string a = "C:\\pkgs\\";
    struct Case { std::string d, want; bool fell; } cases[] = {
        {"D:/x/y/", "D:\\x\\y\\", false},
        {"out  ", "C:\\pkgs\\out\\", false},
        {"D:\\a?b", a, true},
        {"D:\\a|b", a, true},
        {"\\x", "C:\\pkgs\\x\\", false},
        {"", a, false},
    };
    for (const auto& c : cases) {
        bool fell = !c.fell;
        EXPECT_EQ(finalDestination(a, c.d, &fell), c.want) << c.d;
        EXPECT_EQ(fell, c.fell) << c.d;
    }
    // An unknown macro, a backslash and a name: the archive's folder and the name.
    Folders f;
    EXPECT_EQ(finalDestination(a, expandDestination("%Nope%\\name", f, false, "p", nullptr), nullptr),
              "C:\\pkgs\\name\\");
}

TEST(Destination, ArchivePathParts) {
    std::string folder, name;
    splitArchivePath("C:\\a\\b\\pkg.v1.exe", folder, name);
    EXPECT_EQ(folder, "C:\\a\\b\\");
    EXPECT_EQ(name, "pkg.v1.exe");
    EXPECT_EQ(archiveBaseName(name), "pkg.v1");
    EXPECT_EQ(archiveBaseName("name .cab"), "name");
    EXPECT_EQ(archiveBaseName("noext"), "noext");
    splitArchivePath("bare.cab", folder, name);
    EXPECT_EQ(folder, "");
    EXPECT_EQ(name, "bare.cab");
}

TEST(CarriedProgram, CommandSplitsIntoFileParametersAndFolder) {
    struct Case {
        const char* dest;
        const char* program;
        const char* file;
        const char* parameters;
        const char* folder;
        bool inf;
    } cases[] = {
        {"C:\\T\\~p.exe\\", "orvane3uploader.exe", "C:\\T\\~p.exe\\orvane3uploader.exe", "", "C:\\T\\~p.exe\\", false},
        // Parameters with dots and backslashes of their own stay parameters.
        {"C:\\d\\", "run.EXE Z:\\w\\out.txt -v", "C:\\d\\run.EXE", "Z:\\w\\out.txt -v", "C:\\d\\", false},
        // ".exe" inside a folder name is not the end of the file.
        {"C:\\", "x.exe.d\\a.exe b", "C:\\x.exe.d\\a.exe", "b", "C:\\x.exe.d\\", false},
        // Nor is ".exe " in the destination: the package "a.exe b.exe" extracts into
        // "~a.exe b.exe", and only the program field is split.
        {"C:\\T\\~a.exe b.exe\\", "orvane3uploader.exe", "C:\\T\\~a.exe b.exe\\orvane3uploader.exe", "",
         "C:\\T\\~a.exe b.exe\\", false},
        {"C:\\T\\~a.exe b.exe\\", "run.exe -x", "C:\\T\\~a.exe b.exe\\run.exe", "-x", "C:\\T\\~a.exe b.exe\\",
         false},
        {"C:\\T\\~setup.inf x\\", "readme", "C:\\T\\~setup.inf x\\readme", "", "C:\\T\\~setup.inf x\\", false},
        {"C:\\d\\", "setup.INF", "C:\\d\\setup.INF", "", "C:\\d\\", true},
        {"C:\\d\\", "readme.txt", "C:\\d\\readme.txt", "", "C:\\d\\", false},
        {"C:\\d\\", "a.exe ", "C:\\d\\a.exe", "", "C:\\d\\", false},
    };
    for (const Case& c : cases) {
        ProgramCommand pc = splitProgram(c.dest, c.program);
        std::string at = std::string(c.dest) + "|" + c.program;
        EXPECT_EQ(pc.file, c.file) << at;
        EXPECT_EQ(pc.parameters, c.parameters) << at;
        EXPECT_EQ(pc.folder, c.folder) << at;
        EXPECT_EQ(pc.inf, c.inf) << at;
    }
}

namespace {
std::vector<uint8_t> image(unsigned sections, uint32_t lastPtr, uint32_t lastSize) {
    std::vector<uint8_t> p(1024, 0);
    p[0] = 'M';
    p[1] = 'Z';
    p[0x3C] = 0x80;
    p[0x80] = 'P';
    p[0x81] = 'E';
    p[0x86] = uint8_t(sections);
    p[0x94] = 0xE0;  // optional header size
    size_t sec = 0x80 + 24 + 0xE0;
    for (unsigned i = 0; i < sections; ++i) {
        uint32_t ptr = i + 1 == sections ? lastPtr : 0x400 * (i + 1);
        uint32_t size = i + 1 == sections ? lastSize : 0x200;
        for (int k = 0; k < 4; ++k) {
            p[sec + 40 * i + 16 + k] = uint8_t(size >> 8 * k);
            p[sec + 40 * i + 20 + k] = uint8_t(ptr >> 8 * k);
        }
    }
    return p;
}
}  // namespace

TEST(ProgramImage, BlockOffsetIsTheEndOfTheLastSection) {
    auto p = image(3, 0x2000, 0x600);
    EXPECT_EQ(peBlockOffset(p.data(), p.size()), 0x2600);
    auto one = image(1, 0x400, 0x10);
    EXPECT_EQ(peBlockOffset(one.data(), one.size()), 0x410);
    EXPECT_EQ(peBlockOffset(p.data(), 0x100), -1) << "section table cut off";
    auto none = image(0, 0, 0);
    EXPECT_EQ(peBlockOffset(none.data(), none.size()), -1);
    auto bad = p;
    bad[0x80] = 'X';
    EXPECT_EQ(peBlockOffset(bad.data(), bad.size()), -1);
    bad = p;
    bad[0x3C] = 0xFF;
    bad[0x3D] = 0xFF;
    EXPECT_EQ(peBlockOffset(bad.data(), bad.size()), -1);
}
