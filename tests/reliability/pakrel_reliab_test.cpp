// pakrel on a full disk and on cut cabinets, in the appliance rig (whose mount
// namespace lets the test mount a small tmpfs of its own): a failure is reported
// as one, with a message and a non-zero status, and nothing crashes or hangs.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "load.h"
#include "rig.h"

namespace fs = std::filesystem;

namespace {

struct ToolRun {
    rig::Exit exit;
    std::string err;
    bool finished = false;
};

ToolRun pakrel(const std::vector<std::string>& args, int ms = 30000) {
    std::string err = rig::scratchDir() + "/pakrel.err";
    rig::Process::Options o;
    o.stderrPath = err;
    o.stdoutPath = rig::scratchDir() + "/pakrel.out";
    std::vector<std::string> argv = {rig::binDir() + "/pakrel"};
    argv.insert(argv.end(), args.begin(), args.end());
    rig::Process p(argv, o);
    ToolRun r;
    auto e = p.waitExit(ms);
    r.finished = e.has_value();
    if (e) r.exit = *e;
    r.err = rig::readFile(err);
    return r;
}

class PakrelReliab : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override {
        if (!rig::inRig()) GTEST_SKIP() << "needs the appliance rig (tests/rig/rig)";
        dir = rig::scratchDir() + "/pakrel-reliab";
        fs::create_directories(dir);
    }
    void TearDown() override {
        if (!rig::inRig()) return;
        umount2((dir + "/small").c_str(), MNT_DETACH);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    // Total size of the files under path.
    static uintmax_t bytesUnder(const std::string& path) {
        uintmax_t n = 0;
        std::error_code ec;
        for (auto& e : fs::recursive_directory_iterator(path, ec))
            if (e.is_regular_file()) n += e.file_size();
        return n;
    }
};

TEST_F(PakrelReliab, ExtractionOntoAFullDisk) {
    const std::string cab = std::string(RELIAB_TESTDATA) + "/large-files-cab.cab";
    // The whole extraction, to know what a full one writes.
    ToolRun whole = pakrel({"extract", "-d", dir + "/whole", cab});
    ASSERT_TRUE(whole.finished);
    ASSERT_EQ(whole.exit.code, 0) << whole.err;
    uintmax_t need = bytesUnder(dir + "/whole");
    ASSERT_GT(need, 64u * 1024);
    // A disk that holds about half of it.
    std::string small = dir + "/small";
    fs::create_directories(small);
    std::string opt = "size=" + std::to_string((need / 2 / 4096 + 1) * 4096);
    ASSERT_EQ(mount("rigsmall", small.c_str(), "tmpfs", 0, opt.c_str()), 0) << strerror(errno);
    ToolRun full = pakrel({"extract", "-d", small + "/out", cab});
    ASSERT_TRUE(full.finished);
    reliab::record("pakrel extraction onto a full disk",
                   "needs " + std::to_string(need) + " bytes, disk " + opt + ": exit " +
                       std::to_string(full.exit.code) + ", " + full.err.substr(0, full.err.find('\n')));
    EXPECT_TRUE(full.exit.exited);
    EXPECT_NE(full.exit.code, 0) << "a failed write reported as success";
    EXPECT_FALSE(full.err.empty());
    // Nothing larger than the disk was claimed, and the disk is full, not more.
    EXPECT_LT(bytesUnder(small), need);
}

TEST_F(PakrelReliab, CabinetCutAtEvery4KiB) {
    for (const char* name : {"large-files-cab.cab", "qtm-max-size-block.cab"}) {
        std::string path = std::string(RELIAB_TESTDATA) + "/" + name;
        std::string all = rig::readFile(path);
        ASSERT_GT(all.size(), 4096u) << name;
        int cuts = 0, failed = 0, crashed = 0, hung = 0;
        std::string firstBad;
        for (size_t at = 4096; at < all.size(); at += 4096) {
            std::string cut = dir + "/cut.cab";
            rig::writeFile(cut, std::string_view(all).substr(0, at));
            std::string out = dir + "/cut-out";
            std::error_code ec;
            fs::remove_all(out, ec);
            ToolRun r = pakrel({"extract", "-d", out, cut});
            cuts++;
            if (!r.finished) {
                hung++;
            } else if (!r.exit.exited) {
                crashed++;
                if (firstBad.empty()) firstBad = "signal " + std::to_string(r.exit.signal) + " at " + std::to_string(at);
            } else if (r.exit.code != 0 && !r.err.empty()) {
                failed++;
            } else if (firstBad.empty()) {
                firstBad = "status " + std::to_string(r.exit.code) + " at " + std::to_string(at) + ": " + r.err;
            }
        }
        reliab::record(std::string("pakrel cabinet cut every 4 KiB (") + name + ")",
                       std::to_string(cuts) + " cuts, " + std::to_string(failed) + " reported failures, " +
                           std::to_string(crashed) + " crashes, " + std::to_string(hung) + " hangs");
        EXPECT_EQ(failed, cuts) << name << ": " << firstBad;
        EXPECT_EQ(crashed + hung, 0) << name;
    }
}

}  // namespace
