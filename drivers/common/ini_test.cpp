#include "ini.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "test_support.h"

namespace {
namespace fs = std::filesystem;

class Ini : public ::testing::Test {
protected:
    void SetUp() override { ini_set_sections(false); }
    void TearDown() override {
        ini_clear();
        ini_set_sections(false);
        if (!path_.empty()) fs::remove(path_);
    }
    // Writes the bytes to a fresh file and returns its path.
    const char* file(const std::string& bytes) {
        if (path_.empty()) {
            path_ = (fs::temp_directory_path() /
                     ("ini_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini"))
                        .string();
        }
        std::ofstream(path_, std::ios::binary) << bytes;
        return path_.c_str();
    }
    std::string val(const char* key) {
        const char* v = ini_value(key);
        return v ? v : "<null>";
    }
    std::string path_;
    drvtest::LogCapture log;
};

TEST_F(Ini, LineEndsCommentsAndBlanks) {
    for (const char* text : {"port = 1111 ; comment\n\n; only a comment\n\tdevice=/dev/ttyS1  \nbaud=\n",
                             "port = 1111 ; comment\r\n\r\n; only a comment\r\n\tdevice=/dev/ttyS1  \r\nbaud=\r\n"}) {
        ASSERT_EQ(ini_load(file(text)), 0);
        EXPECT_EQ(val("port"), "1111");
        EXPECT_EQ(val("device"), "/dev/ttyS1");
        EXPECT_EQ(val("baud"), "");
        EXPECT_EQ(val("Port"), "<null>");
    }
    EXPECT_TRUE(log.all().empty());
}

TEST_F(Ini, ValueKeepsFurtherEqualsAndQuotes) {
    ASSERT_EQ(ini_load(file("a=b=c\nq=\"x y\"\n")), 0);
    EXPECT_EQ(val("a"), "b=c");
    EXPECT_EQ(val("q"), "\"x y\"");
}

TEST_F(Ini, FirstOccurrenceWins) {
    ASSERT_EQ(ini_load(file("port=1\nport=2\n")), 0);
    EXPECT_EQ(val("port"), "1");
}

TEST_F(Ini, PlainModeIgnoresSections) {
    ASSERT_EQ(ini_load(file("[GENERAL]\nport=1112\n")), 0);
    EXPECT_EQ(val("port"), "1112");
    EXPECT_EQ(val("GENERAL.port"), "<null>");
}

TEST_F(Ini, SectionModeAddsQualifiedTwins) {
    ini_set_sections(true);
    ASSERT_EQ(ini_load(file("k0=v0\n[GENERAL]\r\nport=1112\r\n\r\n[ uMARLO ]\r\nmaxnodes=16\r\n[A]\nk=v\n")), 0);
    EXPECT_EQ(val("k0"), "v0");
    EXPECT_EQ(val(".k0"), "<null>");
    EXPECT_EQ(val("port"), "1112");
    EXPECT_EQ(val("GENERAL.port"), "1112");
    EXPECT_EQ(val("maxnodes"), "16");
    EXPECT_EQ(val("uMARLO.maxnodes"), "16");
    EXPECT_EQ(val("A.k"), "v");
    EXPECT_EQ(val("GENERAL.k"), "<null>");
    testing::internal::CaptureStdout();
    ini_printAll();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "(k0)(v0)\n(port)(1112)\n(GENERAL.port)(1112)\n(maxnodes)(16)\n(uMARLO.maxnodes)(16)\n(k)(v)\n(A.k)(v)\n");
}

TEST_F(Ini, LoadReplacesTable) {
    ASSERT_EQ(ini_load(file("a=1\n")), 0);
    ASSERT_EQ(ini_load(file("b=2\n")), 0);
    EXPECT_EQ(val("a"), "<null>");
    EXPECT_EQ(val("b"), "2");
}

struct Fault {
    const char* name;
    std::string text;
    std::string message;  // with FILE replaced by the path
    const char* keptKey;  // entry read before the fault, still in the table
};

TEST_F(Ini, FaultsAreLoggedWithLineNumbers) {
    const Fault faults[] = {
        {"missing equals", "a=1\n\n; c\nmaxnodes\n", "'maxnodes' doesn't have '='. FILE: @, LINE: 4\n", "a"},
        {"last line without line feed", "a=1\nport=1", "Too long line, FILE: @, LINE: 2\nPlease restrict a line up to 1023 ascii charactors.\n", "a"},
        {"overlong line", "a=1\nk=" + std::string(8190, 'x') + "\n",
         "Too long line, FILE: @, LINE: 2\nPlease restrict a line up to 1023 ascii charactors.\n", "a"},
        {"NUL inside a line", std::string("a=1\nb\0=2\n", 9), "'b' doesn't have '='. FILE: @, LINE: 2\n", "a"},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.name);
        drvtest::LogCapture cap;
        const char* p = file(f.text);
        EXPECT_EQ(ini_load(p), -1);
        std::string want = f.message;
        want.replace(want.find('@'), 1, p);
        ASSERT_EQ(cap.all().size(), 1u);
        EXPECT_EQ(cap.all()[0].prio, LOG_ERR);
        EXPECT_EQ(cap.all()[0].text, want);
        EXPECT_EQ(val(f.keptKey), "1");
    }
}

TEST_F(Ini, LongestAcceptedLine) {
    // 8191 characters including the line feed fit the buffer.
    std::string line = "k=" + std::string(8188, 'v') + "\n";
    ASSERT_EQ(line.size(), 8191u);
    ASSERT_EQ(ini_load(file(line)), 0);
    EXPECT_EQ(std::string(ini_value("k")).size(), 8188u);
}

TEST_F(Ini, MissingFile) {
    const char* p = "/nonexistent-dir/none.ini";
    EXPECT_EQ(ini_load(p), -1);
    ASSERT_EQ(log.all().size(), 1u);
    EXPECT_EQ(log.all()[0].text, std::string("No such file or directory, FILE: ") + p + "\n");
}

}  // namespace
