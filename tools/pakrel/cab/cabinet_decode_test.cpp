// Real cabinets: every LZX and Quantum folder decodes to exactly what cabextract
// extracts, and where cabextract refuses a file its folder fails to decode here.
// Until the cabinet engine is wired in, the folders' data blocks are taken out of
// the cabinets by the small walker in folder_blocks.h.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "codec.h"
#include "posix_test_support.h"
#include "folder_blocks.h"

namespace fs = std::filesystem;
using namespace pakrel::testing;
using Bytes = std::vector<uint8_t>;

namespace {

// Runs cabextract on one cabinet into dir; its exit status, or -1 when it had to
// be stopped after the time limit.
int runCabextract(const std::string& cab, const std::string& dir) {
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = ::open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, 1), dup2(devnull, 2);
        execl(ORV_CABEXTRACT, "cabextract", "-q", "-d", dir.c_str(), cab.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) return -1;
    int status = 0;
    if (!drvtest::waitUntil([&] { return waitpid(pid, &status, WNOHANG) != 0; }, 60000, 5)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Decoded {
    bool ok = true;
    Bytes data;
};

Decoded decodeFolder(const Folder& f) {
    Decoded r;
    int type = f.compression & 0x000F;
    int bits = (f.compression >> 8) & 0x1F;
    auto d = type == 3 ? pakrel::makeLzxDecoder(bits) : pakrel::makeQuantumDecoder(bits);
    if (!d) {
        r.ok = false;
        return r;
    }
    for (const auto& b : f.blocks) {
        Bytes out(b.outLen);
        if (!d->decodeBlock(b.data.data(), b.data.size(), out.data(), out.size())) {
            r.ok = false;
            return r;
        }
        r.data.insert(r.data.end(), out.begin(), out.end());
    }
    return r;
}

class CabinetDecode : public ::testing::TestWithParam<const char*> {};

}  // namespace

TEST_P(CabinetDecode, MatchesCabextract) {
    const std::string cab = std::string(ORV_CAB_DATA) + "/" + GetParam();
    char tmpl[] = "/tmp/cabdecXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    int rc = runCabextract(cab, dir);
    ASSERT_NE(rc, -1) << "cabextract did not finish";

    std::vector<Folder> folders;
    std::vector<FileEntry> files;
    bool parsed = readFolders(readFile(cab), folders, &files);
    int compared = 0, refused = 0;
    if (parsed) {
        std::vector<Decoded> decoded(folders.size());
        std::vector<bool> done(folders.size());
        for (const auto& e : files) {
            if (e.folder >= folders.size()) continue;
            int type = folders[e.folder].compression & 0x000F;
            if (type != 2 && type != 3) continue;
            if (!done[e.folder]) decoded[e.folder] = decodeFolder(folders[e.folder]), done[e.folder] = true;
            const Decoded& d = decoded[e.folder];
            fs::path out = fs::path(dir) / e.name;
            bool theirs = fs::exists(out) && fs::file_size(out) == e.size;
            bool ours = d.ok && static_cast<uint64_t>(e.offset) + e.size <= d.data.size();
            if (theirs) {
                // cabextract extracted it: byte for byte the same.
                ASSERT_TRUE(ours) << e.name << ": cabextract extracts it, the decoder fails";
                Bytes want = readFile(out.string());
                Bytes got(d.data.begin() + e.offset, d.data.begin() + e.offset + e.size);
                EXPECT_TRUE(got == want) << e.name << " differs";
                ++compared;
            } else {
                EXPECT_FALSE(ours) << e.name << ": cabextract refuses it, the decoder does not";
                ++refused;
            }
        }
    }
    // Every cabinet here holds LZX or Quantum data; a run that compared nothing
    // must be a cabinet cabextract cannot read at all.
    if (compared + refused == 0) {
        EXPECT_NE(rc, 0) << "nothing compared";
    }
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Cabinets, CabinetDecode,
                         ::testing::Values("mszip_lzx_qtm.cab", "large-files-cab.cab", "cve-2010-2801-qtm-flush.cab",
                                           "cve-2014-9556-qtm-infinite-loop.cab", "cve-2015-4471-lzx-under-read.cab",
                                           "lzx-main-tree-no-lengths.cab", "lzx-premature-matches.cab",
                                           "qtm-max-size-block.cab"),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (char& c : n)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });
