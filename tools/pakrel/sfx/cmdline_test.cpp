// Tests of the self-extractor's command line.
#include <gtest/gtest.h>

#include "cmdline.h"

using namespace pakrel;

TEST(CommandLine, OptionsAndArchivePath) {
    struct Case {
        std::string line;
        std::string archive, program, dest;
        uint32_t wait, hide, open, noQ;
    } cases[] = {
        {"pakrelW.exe", "", "", "", 0, 0, 1, 0},
        {"\"C:\\Program Files\\p.exe\"", "", "", "", 0, 0, 1, 0},
        {"p.exe a.cab", "a.cab", "", "", 0, 0, 1, 0},
        {"p.exe a.cab   ", "a.cab", "", "", 0, 0, 1, 0},
        {"p.exe /o /h a.cab", "a.cab", "", "", 0, 1, 1, 1},
        {"p.exe /O /H /N a.cab", "a.cab", "", "", 0, 1, 0, 1},
        {"p.exe a.cab /o", "a.cab", "", "", 0, 0, 1, 1},
        {"p.exe /d a.cab", "a.cab", "", "", 0, 0, 1, 0},  // no program: no waiting
        {"p.exe /d /e:setup.exe a.cab", "a.cab", "setup.exe", "", 1, 0, 1, 0},
        {"p.exe /E:\"my setup.exe\" /D x.cab", "x.cab", "my setup.exe", "", 1, 0, 1, 0},
        {"p.exe \"C:\\a b\\x.cab\"", "C:\\a b\\x.cab", "", "", 0, 0, 1, 0},
        {"p.exe \"C:\\x.cab\" \"C:\\out\"", "C:\\x.cab", "", "C:\\out", 0, 0, 1, 0},
        {"p.exe \"C:\\x.cab\"  \"C:\\out\"", "C:\\x.cab", "", "", 0, 0, 1, 0},   // two blanks
        {"p.exe \"C:\\x.cab\" \"C:\\nofolder\"", "C:\\x.cab", "", "", 0, 0, 1, 0},
        {"p.exe /o \"C:\\x.cab\" \"C:\\out\"", "C:\\x.cab", "", "C:\\out", 0, 0, 1, 1},
        // Every "/" begins an option, also inside a path: "/dir" is /d (no
        // program, so no waiting) and "/x.cab" an unknown option; nothing
        // follows the last, so the archive is the text before the first.
        {"p.exe C:/dir/x.cab", "C:", "", "", 0, 0, 1, 0},
        {"p.exe \"C:/x.cab\"", "C:", "", "", 0, 0, 1, 0},
        {"p.exe /o/h a.cab", "a.cab", "", "", 0, 1, 1, 1},
        {"p.exe /oh a.cab", "a.cab", "", "", 0, 0, 1, 1},  // one option per "/"
        {"p.exe \"C:\\a b\\x.cab\" /o /h", "C:\\a b\\x.cab", "", "", 0, 1, 1, 1},
        {"p.exe \"C:\\x.cab\" \"C:\\out\" /h", "C:\\x.cab", "", "C:\\out", 0, 1, 1, 0},
        {"p.exe a.cab /o /", "a.cab", "", "", 0, 0, 1, 1},
        {"p.exe /e:C:/t/s.exe /d a.cab", "a.cab", "C:/t/s.exe", "", 1, 0, 1, 0},
        {"p.exe /n b.cab /o a.cab", "a.cab", "", "", 0, 0, 0, 1},
        {"p.exe /o", "", "", "", 0, 0, 1, 1},
        {"p.exe /x a.cab", "a.cab", "", "", 0, 0, 1, 0},  // unknown option
    };
    for (const auto& c : cases) {
        PackageBlock s = initialSettings();
        CommandLine cl = parseCommandLine(c.line, s, [](const std::string& p) { return p == "C:\\out"; });
        EXPECT_EQ(cl.archive, c.archive) << c.line;
        EXPECT_EQ(fieldText(s.program), c.program) << c.line;
        EXPECT_EQ(fieldText(s.destination), c.dest) << c.line;
        EXPECT_EQ(s.wait, c.wait) << c.line;
        EXPECT_EQ(s.hideDialog, c.hide) << c.line;
        EXPECT_EQ(s.openFolder, c.open) << c.line;
        EXPECT_EQ(s.noQuestions, c.noQ) << c.line;
    }
}

TEST(CommandLine, OverlongProgramIsBounded) {
    PackageBlock s = initialSettings();
    parseCommandLine("p.exe /e:" + std::string(1000, 'x') + " a.cab", s, nullptr);
    EXPECT_EQ(fieldText(s.program).size(), 127u);
}
