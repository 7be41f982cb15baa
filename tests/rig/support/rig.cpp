// Test-side support for the appliance rig; see rig.h.
#include "rig.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef RIG_BIN_DIR
#define RIG_BIN_DIR ""
#endif
#ifndef RIG_SHIM_PATH
#define RIG_SHIM_PATH ""
#endif

extern char** environ;

namespace rig {

void sleepFor(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool inRig()
{
    const char* s = std::getenv("RIG_SYSLOG");
    return s && *s;
}

std::string binDir() { return RIG_BIN_DIR; }
// The dynamic loader splits LD_PRELOAD at spaces and colons: a tree whose path holds
// either (a clone in "/tmp/my work", say) preloads the shim through a link in the
// rig's scratch folder, made once.
std::string shimPath() {
    static const std::string path = [] {
        std::string real = RIG_SHIM_PATH;
        if (real.empty() || real.find_first_of(" :") == std::string::npos) return real;
        const char* dir = std::getenv("RIG_DIR");
        std::string base = dir && *dir && !std::strpbrk(dir, " :") ? dir : "/tmp";
        std::string link = base + "/liborvserialshim-" + std::to_string(getpid()) + ".so";
        ::unlink(link.c_str());
        if (::symlink(real.c_str(), link.c_str()) != 0) return real;  // preload fails, visibly
        return link;
    }();
    return path;
}

std::string scratchDir()
{
    const char* d = std::getenv("RIG_DIR");
    if (d && *d)
        return d;
    d = std::getenv("TMPDIR");
    return d && *d ? d : "/tmp";
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "";
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool writeFile(const std::string& path, std::string_view content, mode_t mode)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    // The mode of an existing file is not changed by open().
    bool ok = fchmod(fd, mode) == 0;
    return ::close(fd) == 0 && ok;
}

bool copyFile(const std::string& from, const std::string& to, mode_t mode)
{
    std::ifstream in(from, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream buf;
    buf << in.rdbuf();
    return writeFile(to, buf.str(), mode);
}

// ------------------------------------------------------------------ sockets

bool waitPort(int port, int timeoutMs)
{
    return waitUntil([&] { return ProtoClient().connectOnce("127.0.0.1", port, 200); }, timeoutMs, 50);
}

// ------------------------------------------------------------------ Process

static Exit decode(int status)
{
    Exit e;
    if (WIFEXITED(status)) {
        e.exited = true;
        e.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        e.signal = WTERMSIG(status);
    }
    return e;
}

// "NAME=value" entries: later ones replace earlier ones of the same name.
static void setEntry(std::vector<std::string>& env, const std::string& entry)
{
    size_t eq = entry.find('=');
    std::string name = entry.substr(0, eq == std::string::npos ? entry.size() : eq + 1);
    for (auto& e : env)
        if (e.compare(0, name.size(), name) == 0) {
            e = entry;
            return;
        }
    env.push_back(entry);
}

static std::string valueOf(const std::vector<std::string>& env, const std::string& name)
{
    for (auto& e : env)
        if (e.compare(0, name.size() + 1, name + "=") == 0)
            return e.substr(name.size() + 1);
    return "";
}

Process::Process(const std::vector<std::string>& argv, const Options& options)
{
    start(argv, options);
}

Process::~Process() { stop(); }

Process::Process(Process&& other) noexcept
    : pid_(other.pid_), stopped_(other.stopped_), error_(std::move(other.error_)),
      exit_(std::move(other.exit_))
{
    other.pid_ = -1;
}

Process& Process::operator=(Process&& other) noexcept
{
    if (this != &other) {
        stop();
        pid_ = other.pid_;
        stopped_ = other.stopped_;
        error_ = std::move(other.error_);
        exit_ = std::move(other.exit_);
        other.pid_ = -1;
    }
    return *this;
}

bool Process::start(const std::vector<std::string>& argv, const Options& options)
{
    stop();
    pid_ = -1;
    stopped_ = false;
    exit_.reset();
    error_.clear();
    if (argv.empty()) {
        error_ = "no program";
        return false;
    }
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    for (auto& e : options.env)
        setEntry(env, e);
    if (options.shim) {
        std::string shim = shimPath();
        if (shim.empty()) {
            error_ = "no serial shim in this build";
            return false;
        }
        std::string pre = valueOf(env, "LD_PRELOAD");
        setEntry(env, "LD_PRELOAD=" + (pre.empty() ? shim : shim + ":" + pre));
        // The shim comes before the ASan runtime in the library list; ASan refuses to
        // start that way unless told it is fine.
        std::string asan = valueOf(env, "ASAN_OPTIONS");
        setEntry(env, "ASAN_OPTIONS=" + (asan.empty() ? std::string() : asan + ":") +
                          "verify_asan_link_order=0");
    }

    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    // The child reports a failed exec through this pipe; it closes on success.
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        return false;
    }
    if (pid == 0) {
        ::close(pipefd[0]);
        const char* step = "";
        auto redirect = [&](const std::string& path, int target, int flags) {
            int fd = ::open(path.c_str(), flags, 0644);
            if (fd < 0 || dup2(fd, target) < 0)
                return false;
            if (fd != target)
                ::close(fd);
            return true;
        };
        bool ok = true;
        if (ok && options.stdinNull && !(ok = redirect("/dev/null", 0, O_RDONLY)))
            step = "stdin";
        if (ok && !options.stdoutPath.empty() &&
            !(ok = redirect(options.stdoutPath, 1, O_WRONLY | O_CREAT | O_TRUNC)))
            step = "stdout";
        if (ok && !options.stderrPath.empty() &&
            !(ok = redirect(options.stderrPath, 2, O_WRONLY | O_CREAT | O_TRUNC)))
            step = "stderr";
        if (ok && !options.cwd.empty() && !(ok = chdir(options.cwd.c_str()) == 0))
            step = "chdir";
        // Its own process group, so stop() can sweep up what it leaves behind.
        setpgid(0, 0);
        if (ok) {
            // A clean signal state: the test may block or ignore signals the daemon needs.
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (int s = 1; s < NSIG; ++s)
                if (s != SIGKILL && s != SIGSTOP)
                    ::signal(s, SIG_DFL);
            execvpe(args[0], args.data(), envp.data());
            step = "exec";
        }
        // Only async-signal-safe calls here: the test may have threads.
        struct {
            int err;
            char step[12];
        } report{errno, {}};
        std::strncpy(report.step, step, sizeof report.step - 1);
        (void)!write(pipefd[1], &report, sizeof report);
        _exit(127);
    }
    ::close(pipefd[1]);
    struct {
        int err;
        char step[12];
    } report{};
    ssize_t n;
    do {
        n = read(pipefd[0], &report, sizeof report);
    } while (n < 0 && errno == EINTR);
    ::close(pipefd[0]);
    pid_ = pid;
    if (n > 0) {
        report.step[sizeof report.step - 1] = '\0';
        error_ = std::string(report.step) + " " + argv[0] + ": " + std::strerror(report.err);
        waitExit(5000);
        pid_ = -1;
        return false;
    }
    return true;
}

bool Process::running()
{
    if (pid_ < 0 || exit_)
        return false;
    return !waitExit(0);
}

std::optional<Exit> Process::waitExit(int timeoutMs)
{
    if (exit_)
        return exit_;
    if (pid_ < 0)
        return std::nullopt;
    waitUntil([&] {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_)
            exit_ = decode(status);
        else if (r < 0 && errno != EINTR)
            exit_ = Exit{};  // not ours any more (reaped elsewhere): count it as gone
        return exit_.has_value();
    }, timeoutMs);
    return exit_;
}

bool Process::signal(int sig)
{
    if (pid_ <= 0 || exit_)
        return false;
    return ::kill(pid_, sig) == 0;
}

Exit Process::stop(int graceMs)
{
    if (pid_ <= 0 || stopped_)
        return exit_.value_or(Exit{});
    stopped_ = true;
    if (!exit_) {
        ::kill(pid_, SIGTERM);
        if (!waitExit(graceMs)) {
            ::kill(pid_, SIGKILL);
            waitExit(10000);
        }
    }
    // Helpers it started and left in its group (a shell's sleep, a connection child)
    // go too; whatever detached itself (setsid) is the test's to end (endPid).
    ::kill(-pid_, SIGKILL);
    return exit_.value_or(Exit{});
}

// ------------------------------------------------------------------ detached processes

// "pid (comm) S ...": the state follows the last ')'.
static bool isZombie(pid_t pid)
{
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
}

std::vector<pid_t> pidsOf(const std::string& name)
{
    std::vector<pid_t> out;
    DIR* d = opendir("/proc");
    if (!d)
        return out;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end)
            continue;
        std::string comm = readFile("/proc/" + std::string(e->d_name) + "/comm");
        if (!comm.empty() && comm.back() == '\n')
            comm.pop_back();
        // A zombie still has its name; it is gone for our purposes.
        if (isZombie(static_cast<pid_t>(pid)))
            continue;
        if (comm == name.substr(0, 15))
            out.push_back(static_cast<pid_t>(pid));
    }
    closedir(d);
    return out;
}

static bool gone(pid_t pid)
{
    if (::kill(pid, 0) != 0)
        return errno == ESRCH;
    return isZombie(pid);
}

bool endPid(pid_t pid, int graceMs)
{
    if (pid <= 1)
        return false;
    if (gone(pid))
        return true;
    ::kill(pid, SIGTERM);
    if (waitUntil([&] { return gone(pid); }, graceMs))
        return true;
    ::kill(pid, SIGKILL);
    return waitUntil([&] { return gone(pid); }, 5000);
}

// ------------------------------------------------------------------ Syslog

Syslog::Syslog()
{
    const char* p = std::getenv("RIG_SYSLOG");
    path_ = p ? p : "";
}

Syslog::Syslog(std::string path) : path_(std::move(path)) {}

Syslog::Mark Syslog::mark() const { return readFile(path_).size(); }

std::vector<std::string> Syslog::lines(Mark since) const
{
    std::string text = readFile(path_);
    std::vector<std::string> out;
    if (since > text.size())
        return out;
    size_t pos = since;
    for (;;) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            break;  // a line still being written is not complete yet
        out.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

int Syslog::count(std::string_view text, Mark since) const
{
    int n = 0;
    for (auto& l : lines(since))
        if (l.find(text) != std::string::npos)
            ++n;
    return n;
}

bool Syslog::waitFor(std::string_view text, int timeoutMs, Mark since, int n) const
{
    return waitUntil([&] { return count(text, since) >= n; }, timeoutMs, 20);
}

std::optional<Syslog::Entry> Syslog::parse(std::string_view line)
{
    // "Mmm dd hh:mm:ss host facility.priority ident[pid]: message"
    if (line.size() < 16 || line[3] != ' ' || line[6] != ' ' || line[9] != ':')
        return std::nullopt;
    std::string_view rest = line.substr(16);
    size_t sp = rest.find(' ');
    if (sp == std::string_view::npos)
        return std::nullopt;
    rest.remove_prefix(sp + 1);  // host
    sp = rest.find(' ');
    if (sp == std::string_view::npos)
        return std::nullopt;
    std::string_view fp = rest.substr(0, sp);
    rest.remove_prefix(sp + 1);
    size_t dot = fp.find('.');
    if (dot == std::string_view::npos)
        return std::nullopt;
    Entry e;
    e.facility = std::string(fp.substr(0, dot));
    e.priority = std::string(fp.substr(dot + 1));
    size_t colon = rest.find(": ");
    std::string_view tag = colon == std::string_view::npos ? std::string_view() : rest.substr(0, colon);
    if (colon == std::string_view::npos || tag.find(' ') != std::string_view::npos) {
        e.message = std::string(rest);  // no tag
        return e;
    }
    size_t br = tag.find('[');
    if (br != std::string_view::npos && tag.back() == ']') {
        e.ident = std::string(tag.substr(0, br));
        std::string num(tag.substr(br + 1, tag.size() - br - 2));
        e.pid = std::atoi(num.c_str());
    } else {
        e.ident = std::string(tag);
    }
    e.message = std::string(rest.substr(colon + 2));
    return e;
}

}  // namespace rig
