// orvane3uploader end to end. The program runs on a pseudo-terminal, as a
// service person would run it, against a real FTP server (pyftpdlib) and a
// real telnet service (busybox telnetd with a login program of ours) in a
// network namespace of this test, so both listen on 127.0.0.1 at the real
// ports 21 and 23. A temporary folder stands for the appliance's "/"; the
// telnet shell starts one level below it, as on the appliance, so the packages
// are really unpacked by tar and removed by rm.
//
// Needs root (for the namespace); skips with a message otherwise.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "posix_test_support.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string readFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void writeFile(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

// The reset command is logged by the remote shell a moment after it was sent.
std::string waitForFile(const fs::path& p) {
    drvtest::waitUntil([&] { return fs::exists(p); }, 5000, 20);
    return readFile(p);
}

std::string noCr(std::string s) {
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    return s;
}

int run(const std::vector<std::string>& argv) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> a;
        for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        execvp(a[0], a.data());
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Ends a process this test started, by its id, and reaps it.
void stopProcess(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

bool portOpen(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
}

// A network namespace of this process with only the loopback interface up.
bool enterPrivateNetwork(std::string& why) {
    static int state = 0;  // 0 untried, 1 in, 2 failed
    static std::string reason;
    if (state == 0) {
        if (geteuid() != 0) {
            reason = "needs root for a network namespace";
        } else if (unshare(CLONE_NEWNET) != 0) {
            reason = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
        } else {
            int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ifreq ifr{};
            std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
            if (ioctl(fd, SIOCGIFFLAGS, &ifr) == 0) {
                ifr.ifr_flags |= IFF_UP;
                if (ioctl(fd, SIOCSIFFLAGS, &ifr) != 0) reason = "cannot bring lo up";
            } else {
                reason = "no lo";
            }
            close(fd);
        }
        state = reason.empty() ? 1 : 2;
    }
    why = reason;
    return state == 1;
}

// The program under test on a pty: reads what it prints, types lines.
class Uploader {
public:
    Uploader(const fs::path& cwd, std::vector<std::string> args = {}) {
        struct winsize ws{40, 200, 0, 0};
        pid_ = forkpty(&master_, nullptr, nullptr, &ws);
        if (pid_ == 0) {
            if (chdir(cwd.c_str()) != 0) _exit(126);
            std::vector<char*> a{const_cast<char*>(UPLOADER_BIN)};
            for (std::string& s : args) a.push_back(s.data());
            a.push_back(nullptr);
            execv(UPLOADER_BIN, a.data());
            _exit(127);
        }
    }
    ~Uploader() {
        if (pid_ > 0) stopProcess(pid_);
        if (master_ >= 0) close(master_);
    }

    // Waits until the output (CRs removed) holds text after the last match.
    bool expect(const std::string& text, int seconds = 20) {
        std::string want = noCr(text);
        auto end = Clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            size_t at = out_.find(want, mark_);
            if (at != std::string::npos) {
                mark_ = at + want.size();
                return true;
            }
            if (Clock::now() >= end || !pump(end)) {
                ADD_FAILURE() << "no \"" << want << "\" in output:\n" << out_.substr(mark_);
                return false;
            }
        }
    }
    void type(const std::string& line) {
        std::string l = line + "\n";
        ASSERT_EQ(write(master_, l.data(), l.size()), static_cast<ssize_t>(l.size()));
    }
    // Waits for the program to end; its exit code, or -1.
    int wait(int seconds = 20) {
        auto end = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < end) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                while (pump(Clock::now() + std::chrono::milliseconds(50))) {
                }
                return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            }
            pump(Clock::now() + std::chrono::milliseconds(100));
        }
        return -1;
    }
    const std::string& output() const { return out_; }

private:
    // Reads what is there until `end`; false when the pty is closed.
    bool pump(Clock::time_point end) {
        int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, ms < 0 ? 0 : ms) <= 0) return true;
        char buf[4096];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) return false;
        out_ += noCr(std::string(buf, static_cast<size_t>(n)));
        return true;
    }

    pid_t pid_ = -1;
    int master_ = -1;
    std::string out_;
    size_t mark_ = 0;
};

const std::string kAddressPrompt = "のIPアドレスを入力してください。\n (デフォルト:192.168.0.254)\n>";
const std::string kMenuPrompt = "    2. 装置リセット\n (デフォルト:1)\n>";
const std::string kResetPrompt = "装置をリセットしますか?  (y or n)\n (デフォルト:y)\n>";
const std::string kExitPrompt = "プログラムを終了するにはリターンを押してください。\n";
const std::string kDetails = "\n------------------------\nエラーの詳細：\n";

class UploaderIntegration : public testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!enterPrivateNetwork(why)) GTEST_SKIP() << why;
        if (access(UPLOADER_PYTHON, X_OK) != 0 || run({UPLOADER_PYTHON, "-c", "import pyftpdlib"}) != 0)
            FAIL() << "python3-pyftpdlib is missing: the FTP side cannot be checked (scripts/install-deps)";
        if (access(UPLOADER_BUSYBOX, X_OK) != 0 ||
            run({"sh", "-c", std::string(UPLOADER_BUSYBOX) + " --list | grep -qx telnetd"}) != 0)
            FAIL() << "busybox with telnetd (busybox-static) is missing: the telnet side cannot be checked "
                      "(scripts/install-deps)";
        char tmpl[] = "/tmp/uploader-it-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base_ = tmpl;
        root_ = base_ / "appliance";
        local_ = base_ / "pc";
        fs::create_directories(root_ / "home");
        fs::create_directories(root_ / "root");  // the shell's starting folder
        fs::create_directories(local_);
    }
    void TearDown() override {
        stopProcess(telnetd_);
        stopProcess(ftpd_);
        if (silent_ >= 0) close(silent_);
        if (!base_.empty()) fs::remove_all(base_);
    }

    void startFtp(const std::string& password = "brolt362") {
        int p[2];
        ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
        ftpd_ = fork();
        if (ftpd_ == 0) {
            dup2(p[1], 1);
            execl(UPLOADER_PYTHON, UPLOADER_PYTHON, UPLOADER_FTPD, root_.c_str(), "21", password.c_str(), nullptr);
            _exit(127);
        }
        close(p[1]);
        std::string got;
        auto end = Clock::now() + std::chrono::seconds(15);
        while (got.find('\n') == std::string::npos && Clock::now() < end) {
            pollfd pf{p[0], POLLIN, 0};
            if (poll(&pf, 1, 200) > 0) {
                char buf[64];
                ssize_t n = read(p[0], buf, sizeof buf);
                if (n <= 0) break;
                got.append(buf, static_cast<size_t>(n));
            }
        }
        close(p[0]);
        ASSERT_EQ(got.rfind("ready 21", 0), 0u) << "FTP server did not start: " << got;
    }

    // busybox telnetd on port 23 with a login program that asks "login:" and
    // "Password:" and then runs each line with sh below the appliance root.
    // Reset commands are only logged: this is not an appliance to take down.
    void startTelnet(const std::string& password = "brolt362") {
        fs::path login = base_ / "login.sh";
        writeFile(login,
                  "#!/bin/sh\n"
                  "rd() { while :; do IFS= read -r v || exit 1; v=$(printf '%s' \"$v\" | tr -d '\\r');"
                  " [ -n \"$v\" ] && break; done; }\n"
                  "printf 'login: '; rd; user=$v\n"
                  "printf 'Password: '; rd; pass=$v\n"
                  "if [ \"$user\" != root ] || [ \"$pass\" != '" + password + "' ]; then\n"
                  "  echo 'Login incorrect'; exit 1; fi\n"
                  "cd '" + (root_ / "root").string() + "' || exit 1\n"
                  "while printf '# '; rd; do\n"
                  "  printf '%s\\n' \"$v\" >> '" + (base_ / "commands.log").string() + "'\n"
                  "  case \"$v\" in\n"
                  "    'echo 0 > /proc/wdt/wdt'|reboot) printf '%s\\n' \"$v\" >> '" + (base_ / "reset.log").string() + "' ;;\n"
                  "    *) sh -c \"$v\" 2>&1 ;;\n"
                  "  esac\n"
                  "done\n");
        fs::permissions(login, fs::perms::owner_all);
        telnetd_ = fork();
        if (telnetd_ == 0) {
            execl(UPLOADER_BUSYBOX, UPLOADER_BUSYBOX, "telnetd", "-F", "-p", "23", "-b", "127.0.0.1", "-l",
                  login.c_str(), nullptr);
            _exit(127);
        }
        ASSERT_TRUE(drvtest::waitUntil([&] { return portOpen(23); }, 10000, 50)) << "telnetd did not start";
    }

    // A telnet port that accepts connections and never says anything.
    void startSilentTelnet() {
        silent_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(silent_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(23);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(silent_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        ASSERT_EQ(listen(silent_, 4), 0);
    }

    // A gzip tar package holding the given files (name -> content).
    void makePackage(const fs::path& inc, const std::vector<std::pair<std::string, std::string>>& files) {
        fs::path src = base_ / ("src-" + inc.filename().string());
        for (auto& [name, text] : files) writeFile(src / name, text);
        std::vector<std::string> argv{"tar", "-czf", inc.string(), "-C", src.string()};
        for (auto& f : files) argv.push_back(f.first);
        fs::create_directories(inc.parent_path());
        ASSERT_EQ(run(argv), 0);
    }

    std::vector<std::string> commands() {
        std::vector<std::string> v;
        std::istringstream in(readFile(base_ / "commands.log"));
        for (std::string l; std::getline(in, l);) v.push_back(l);
        return v;
    }

    fs::path base_, root_, local_;
    pid_t ftpd_ = -1, telnetd_ = -1;
    int silent_ = -1;
};

TEST_F(UploaderIntegration, TransfersUnpacksAndResetsTheAppliance) {
    startFtp();
    startTelnet();
    makePackage(local_ / "files" / "update_bt.inc", {{"bt/bt.conf", "bt=1\n"}});
    makePackage(local_ / "files" / "home" / "update_orv3.inc",
                {{"drivers/vexa/zr/ZR1Communicator.ini", "[ZR1]\n"}, {"orv3.txt", "three\n"}});
    writeFile(local_ / "files" / "readme.txt", "not a package\n");

    Uploader up(local_);
    ASSERT_TRUE(up.expect("Orvane III" + kAddressPrompt));
    up.type("127.0.0.1");
    ASSERT_TRUE(up.expect(kMenuPrompt));
    up.type("3");  // out of range: asked again
    ASSERT_TRUE(up.expect("範囲外の番号です。1～2を選択してください。\n>"));
    up.type("1");
    ASSERT_TRUE(up.expect("ファイル転送を実行しています。"));
    ASSERT_TRUE(up.expect("ファイル転送が完了しました。\n\n", 120));
    ASSERT_TRUE(up.expect("アップデートを完了するには装置をリセットする必要があります。\n\n" + kResetPrompt));
    up.type("yes");  // not an answer: the question comes again
    ASSERT_TRUE(up.expect(kResetPrompt));
    up.type("y");
    ASSERT_TRUE(up.expect("装置リセットを行うため、コマンドを送信しました。\n\n" + kExitPrompt, 40));
    up.type("");
    EXPECT_EQ(up.wait(), 0);

    // Uploaded into the matching folders, unpacked by tar, packages removed.
    EXPECT_EQ(readFile(root_ / "readme.txt"), "not a package\n");
    EXPECT_EQ(readFile(root_ / "bt" / "bt.conf"), "bt=1\n");
    EXPECT_EQ(readFile(root_ / "home" / "orv3.txt"), "three\n");
    EXPECT_EQ(readFile(root_ / "home" / "drivers" / "vexa" / "zr" / "ZR1Communicator.ini"), "[ZR1]\n");
    EXPECT_FALSE(fs::exists(root_ / "update_bt.inc"));
    EXPECT_FALSE(fs::exists(root_ / "home" / "update_orv3.inc"));

    // Unpack commands in the order the local file system listed the entries.
    std::vector<std::string> bt{"tar xzvf ../update_bt.inc -C ..", "rm ../update_bt.inc"};
    std::vector<std::string> orv3{"tar xzvf ../home/update_orv3.inc -C ../home", "rm ../home/update_orv3.inc"};
    waitForFile(base_ / "reset.log");
    std::vector<std::string> cmds = commands();
    ASSERT_EQ(cmds.size(), 5u);
    EXPECT_EQ(cmds.back(), "echo 0 > /proc/wdt/wdt");
    std::vector<std::string> unpack(cmds.begin(), cmds.end() - 1), a = bt, b = orv3;
    a.insert(a.end(), orv3.begin(), orv3.end());
    b.insert(b.end(), bt.begin(), bt.end());
    EXPECT_TRUE(unpack == a || unpack == b) << testing::PrintToString(cmds);
    EXPECT_EQ(waitForFile(base_ / "reset.log"), "echo 0 > /proc/wdt/wdt\n");

    // Three files: progress 0, 33 and 66 before them, 100 at the end; two unpacks.
    const std::string& out = up.output();
    for (const char* p : {"\n進行状況：0%\n", "\n進行状況：33%\n", "\n進行状況：66%\n", "\n進行状況：100%\n"})
        EXPECT_NE(out.find(p), std::string::npos) << p;
    size_t unpacked = 0;
    for (size_t at = out.find("\nデータを展開しました。\n"); at != std::string::npos;
         at = out.find("\nデータを展開しました。\n", at + 1))
        ++unpacked;
    EXPECT_EQ(unpacked, 2u);
    EXPECT_NE(out.find("readme.txtを転送しています。"), std::string::npos);
}

TEST_F(UploaderIntegration, ResetOfModelTwoAndTypedAheadInput) {
    startFtp();
    startTelnet();
    makePackage(local_ / "files" / "home" / "update_orv3.inc", {{"a.txt", "a\n"}});
    Uploader up(local_, {"-inc1", "-inc2"});
    ASSERT_TRUE(up.expect("Orvane IV" + kAddressPrompt));
    up.type("127.0.0.1");
    ASSERT_TRUE(up.expect(kMenuPrompt));
    up.type("");  // the default: file transfer
    // Typed while the package is being unpacked (at least two more 500 ms
    // pauses): it must not answer the reset question.
    ASSERT_TRUE(up.expect("転送したデータを展開しています。", 30));
    up.type("y");
    ASSERT_TRUE(up.expect(kResetPrompt, 60));
    up.type("n");
    ASSERT_TRUE(up.expect(kExitPrompt));
    up.type("");
    EXPECT_EQ(up.wait(), 0);
    EXPECT_EQ(readFile(root_ / "home" / "a.txt"), "a\n");
    EXPECT_FALSE(fs::exists(base_ / "reset.log"));

    Uploader reset(local_, {"-inc2"});
    ASSERT_TRUE(reset.expect(kAddressPrompt));
    reset.type("127.0.0.1");
    ASSERT_TRUE(reset.expect(kMenuPrompt));
    reset.type("2");
    ASSERT_TRUE(reset.expect("装置リセットを行うため、コマンドを送信しました。\n\n" + kExitPrompt, 40));
    reset.type("");
    EXPECT_EQ(reset.wait(), 0);
    EXPECT_EQ(waitForFile(base_ / "reset.log"), "reboot\n");
}

struct FailureCase {
    const char* name;
    bool ftp, telnet, silentTelnet, rootHome, filesFolder;
    const char* ftpPassword;
    const char* telnetPassword;
    std::string menu;
    std::vector<std::string> expected;
    int seconds;
};

class UploaderFailure : public UploaderIntegration, public testing::WithParamInterface<FailureCase> {};

TEST_P(UploaderFailure, ReportsAndReachesTheExitPrompt) {
    const FailureCase& c = GetParam();
    if (c.ftp) startFtp(c.ftpPassword);
    if (c.telnet) startTelnet(c.telnetPassword);
    if (c.silentTelnet) startSilentTelnet();
    if (!c.rootHome) fs::remove_all(root_ / "home");
    if (c.filesFolder) makePackage(local_ / "files" / "home" / "update_orv3.inc", {{"a.txt", "a\n"}});

    Uploader up(local_);
    ASSERT_TRUE(up.expect(kAddressPrompt));
    up.type("127.0.0.1");
    ASSERT_TRUE(up.expect(kMenuPrompt));
    up.type(c.menu);
    for (const std::string& e : c.expected) ASSERT_TRUE(up.expect(e, c.seconds)) << c.name;
    ASSERT_TRUE(up.expect(kExitPrompt));
    EXPECT_EQ(up.output().find(kResetPrompt), std::string::npos);  // no reset question after a failure
    up.type("");
    EXPECT_EQ(up.wait(), 0);
}

const std::string kLoginStop = "FTPサーバへのログインの段階でエラーが発生したため、実行を中止しました。\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, UploaderFailure,
    testing::Values(
        FailureCase{"no FTP server", false, false, false, true, true, "", "", "1",
                    {"\n\n" + kLoginStop + kDetails + "\nNo connection to the FTP server could be made.\n"}, 30},
        FailureCase{"FTP login refused", true, false, false, true, true, "other", "", "1",
                    {"\n\n" + kLoginStop + kDetails + "\nThe FTP server refused the login.\n530 "}, 30},
        FailureCase{"missing remote folder", true, false, false, false, true, "brolt362", "", "1",
                    {"\n\nFTPコマンド操作にて、\"./home\"へのカレントディレクトリの移動に失敗したため、 実行を中止しました。\n" +
                     kDetails + "\nSetCurrentDirectory エラー; コード: 12003\n説明: ",
                     "\nAdditional Information: 550 "},
                    30},
        FailureCase{"missing files folder", true, false, false, true, false, "brolt362", "", "1",
                    {"\n\n転送元ファイル操作にて、\"", "/pc/files\"へのカレントディレクトリの移動に失敗したため、 実行を中止しました。\n" +
                     kDetails + "\nSetCurrentDirectory エラー; コード: 2\n説明: No such file or directory\n"},
                    30},
        FailureCase{"closed telnet port", true, false, false, true, true, "brolt362", "", "1",
                    {"\n\nOrvane IIIへのログインの段階でエラーが発生したため、実行を中止しました。\n\n" + kDetails +
                     "\nCSocket.Connect エラー; コード: 111\n説明: Connection refused\n\n\n"},
                    30},
        FailureCase{"telnet login refused", true, true, false, true, true, "brolt362", "other", "1",
                    {"\n\nOrvane IIIへのログインの段階で通信エラーが発生したため、実行を中止しました。\n\n\n\n"}, 30},
        // The reset session's 30000 ms deadline ends the wait on a silent service.
        FailureCase{"silent telnet service", false, false, true, true, true, "", "", "2",
                    {"\n\nOrvane IIIへのログインの段階で通信タイムアウトが発生したため、実行を中止しました。\n\n"}, 45}),
    [](const testing::TestParamInfo<FailureCase>& i) {
        std::string n = i.param.name;
        for (char& ch : n)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

}  // namespace
