// The uploader against an FTP server that breaks off the data connection in the
// middle of a file (inside the rig's own network namespace): the transfer must
// be reported as failed, with no reset question, and the program must reach its
// exit prompt and end normally (no SIGPIPE, no hang).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "load.h"
#include "rig.h"

namespace fs = std::filesystem;

namespace {

const std::string kExitPrompt = "プログラムを終了するにはリターンを押してください。";
const std::string kDone = "ファイル転送が完了しました。";
const std::string kResetPrompt = "装置をリセットしますか?";

// The uploader on a pty of its own.
class Console {
public:
    explicit Console(const std::string& cwd) {
        struct winsize ws {40, 200, 0, 0};
        pid_ = forkpty(&master_, nullptr, nullptr, &ws);
        if (pid_ == 0) {
            if (chdir(cwd.c_str()) != 0) _exit(126);
            std::string bin = rig::binDir() + "/orvane3uploader";
            execl(bin.c_str(), bin.c_str(), (char*)nullptr);
            _exit(127);
        }
    }
    ~Console() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }
    // Reads until text has appeared (after what earlier calls matched) or ms passed.
    bool expect(const std::string& text, int ms) {
        long long end = rig::nowMs() + ms;
        for (;;) {
            size_t at = out_.find(text, mark_);
            if (at != std::string::npos) {
                mark_ = at + text.size();
                return true;
            }
            long long left = end - rig::nowMs();
            if (left <= 0 || !pump((int)left)) return false;
        }
    }
    void type(const std::string& line) {
        std::string l = line + "\n";
        if (write(master_, l.data(), l.size()) != (ssize_t)l.size()) ADD_FAILURE() << "typing failed";
    }
    // The exit: code, or -1 000 - signal when a signal ended it, or nullopt.
    std::optional<int> wait(int ms) {
        int st = 0;
        bool ended = rig::waitUntil([&] {
            if (waitpid(pid_, &st, WNOHANG) == pid_) return true;
            pump(50);  // the output is read meanwhile: a full pty never holds the program
            return false;
        }, ms, 0);
        if (!ended) return std::nullopt;
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1000 - WTERMSIG(st);
    }
    const std::string& output() const { return out_; }

private:
    bool pump(int ms) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return true;
        char buf[4096];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) return false;
        for (ssize_t i = 0; i < n; i++)
            if (buf[i] != '\r') out_ += buf[i];
        return true;
    }
    pid_t pid_ = -1;
    int master_ = -1;
    std::string out_;
    size_t mark_ = 0;
};

struct Break {
    const char* mode;
    const char* limit;  // bytes of the 1 MiB package the server takes
    bool completes;     // the transfer itself succeeds (the missing telnet service stops the run after it)
};

class UploaderReliab : public ::testing::TestWithParam<Break> {
protected:
    rig::Process ftpd;
    std::string base;
    void SetUp() override {
        if (!rig::inRig()) GTEST_SKIP() << "needs the appliance rig (tests/rig/rig)";
        if (system("/usr/bin/python3 -c 'import pyftpdlib' 2>/dev/null") != 0)
            FAIL() << "python3-pyftpdlib is missing: the upload breaks cannot be checked (scripts/install-deps)";
        base = rig::scratchDir() + "/uploader-reliab";
        fs::remove_all(base);
        fs::create_directories(base + "/appliance/home");
        fs::create_directories(base + "/pc/files/home");
        // A package large enough that the break comes well inside it.
        std::mt19937 rng(7);
        std::string pkg(1 << 20, '\0');
        for (char& c : pkg) c = (char)rng();
        rig::writeFile(base + "/pc/files/home/update_orv3.inc", pkg);
    }
    void TearDown() override {
        if (ftpd.pid() > 0) ftpd.stop();
    }
};

TEST_P(UploaderReliab, DataConnectionBrokenMidFile) {
    const Break& b = GetParam();
    const std::string mode = b.mode;
    rig::Process::Options o;
    o.stdoutPath = base + "/ftpd.out";
    ASSERT_TRUE(ftpd.start({"/usr/bin/python3", std::string(RELIAB_SOURCE_DIR) + "/ftpd_drop.py",
                            base + "/appliance", "21", "brolt362", b.limit, mode},
                           o))
        << ftpd.error();
    ASSERT_TRUE(rig::waitPort(21, 15000));
    long long t0 = rig::nowMs();
    Console up(base + "/pc");
    ASSERT_TRUE(up.expect(">", 20000)) << up.output();
    up.type("127.0.0.1");
    ASSERT_TRUE(up.expect("(デフォルト:1)\n>", 20000)) << up.output();
    up.type("1");
    bool prompt = up.expect(kExitPrompt, 120000);
    long long took = rig::nowMs() - t0;
    std::string out = up.output();
    size_t det = out.find("エラーの詳細：");
    std::string detail = det == std::string::npos ? "(no details)" : out.substr(det, 200);
    for (char& c : detail)
        if (c == '\n') c = ' ';
    if (b.completes) {
        // The server that takes the whole file: the same path gets as far as the
        // unpacking, which stops at the missing telnet service.
        EXPECT_NE(out.find("Orvane IIIへのログインの段階"), std::string::npos) << out;
        EXPECT_EQ(fs::file_size(base + "/appliance/home/update_orv3.inc"), 1u << 20);
        up.type("");
        EXPECT_EQ(up.wait(20000), std::optional<int>(0)) << out;
        return;
    }
    reliab::record(std::string("uploader FTP data connection broken (") + mode + ")",
                   "exit prompt after " + std::to_string(took) + " ms; " + detail);
    EXPECT_TRUE(prompt) << out;
    EXPECT_EQ(out.find(kDone), std::string::npos) << "a broken transfer reported as complete:\n" << out;
    EXPECT_EQ(out.find(kResetPrompt), std::string::npos) << out;
    EXPECT_NE(det, std::string::npos) << out;
    up.type("");
    EXPECT_EQ(up.wait(20000), std::optional<int>(0)) << out;
}

INSTANTIATE_TEST_SUITE_P(Modes, UploaderReliab,
                         ::testing::Values(Break{"abort", "65536", false}, Break{"vanish", "65536", false},
                                           Break{"abort", "1000000000", true}),
                         [](const ::testing::TestParamInfo<Break>& i) {
                             return std::string(i.param.mode) + (i.param.completes ? "_whole" : "_broken");
                         });

}  // namespace
