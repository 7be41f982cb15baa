// Test-side support for integration tests that run inside the appliance rig
// (tests/rig/rig; CMake: orv_add_rig_test). Small on purpose: a line client for the
// driver request protocol (drvq's), a child process that is always ended by its PID, a reader
// of the rig's system log, and the paths of this build tree.
//
// Every wait takes a bound in milliseconds; nothing here waits forever.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "posix_test_support.h"
#include "protoclient.h"

namespace rig {

// True inside the rig (RIG_SYSLOG is set). Tests that need the rig start with
//   if (!rig::inRig()) GTEST_SKIP() << "needs the appliance rig";
bool inRig();

// The build tree's program folder (build/<preset>/bin), without a trailing slash.
std::string binDir();
// The serial shim of this build tree (liborvserialshim.so); empty where none is built.
std::string shimPath();
// RIG_DIR inside the rig (a private scratch folder), else the system's temporary folder.
std::string scratchDir();

// Waits until something accepts TCP connections on 127.0.0.1:port.
bool waitPort(int port, int timeoutMs);

// Pauses the calling thread.
void sleepFor(int ms);

// Asks done() every pollMs until it is true or timeoutMs has passed; true when it
// became true. The tests outside the rig have the same wait (posix_test_support.h).
using drvtest::waitUntil;

// Reads a whole file ("" when it cannot be read).
std::string readFile(const std::string& path);
// Writes a file whole (replacing it) with the given mode, e.g. to put a program of
// binDir() or a configuration into /home/drivers/vexa/zr/ inside the rig.
bool writeFile(const std::string& path, std::string_view content, mode_t mode = 0644);
bool copyFile(const std::string& from, const std::string& to, mode_t mode = 0755);

// ------------------------------------------------------------------ ProtoClient
// The client of the driver request protocol is drvq's (tools/drvq/protoclient.h):
// the tests speak to the daemons exactly as the service engineers' tool does.
using ProtoClient = drvq::ProtoClient;

// ------------------------------------------------------------------ Process
// How a child process ended.
struct Exit {
    bool exited = false;  // ended by exit(): code is valid
    int code = -1;
    int signal = 0;       // ended by this signal
};

// How to start a child process (rig::Process::Options).
struct ProcessOptions {
    std::vector<std::string> env;  // extra "NAME=value" entries (override inherited)
    bool shim = false;             // LD_PRELOAD the serial shim (and tell ASan to allow it)
    std::string cwd;               // working folder ("" = unchanged)
    std::string stdoutPath;        // redirect standard output to this file ("" = inherit)
    std::string stderrPath;        // redirect standard error to this file ("" = inherit)
    bool stdinNull = true;         // standard input from /dev/null
};

// A child process. The destructor ends it if it still runs: SIGTERM, a bounded wait,
// then SIGKILL; always by its PID.
class Process {
public:
    using Options = ProcessOptions;

    Process() = default;
    Process(const std::vector<std::string>& argv, const Options& options);
    explicit Process(const std::vector<std::string>& argv) : Process(argv, Options{}) {}
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;

    // Starts argv[0] (a path, or a name looked up in PATH). False, with error(), when
    // it could not be started (the exec failure is reported, not a child exiting 127).
    bool start(const std::vector<std::string>& argv, const Options& options = {});
    pid_t pid() const { return pid_; }
    const std::string& error() const { return error_; }
    // True while the child has not been reaped.
    bool running();
    // Waits up to timeoutMs for the child to end; nullopt if it still runs.
    std::optional<Exit> waitExit(int timeoutMs);
    // The exit status once reaped.
    const std::optional<Exit>& exitStatus() const { return exit_; }
    bool signal(int sig);
    // SIGTERM, up to graceMs for it to end, then SIGKILL and reap; then SIGKILL to
    // what is left of its process group (the child leads its own group).
    Exit stop(int graceMs = 3000);

private:
    pid_t pid_ = -1;
    bool stopped_ = false;
    std::string error_;
    std::optional<Exit> exit_;
};

// PIDs of the processes whose name (/proc/PID/comm, at most 15 characters) is name.
// Inside the rig that is only what this test started: the way to find a daemon that
// detached itself.
std::vector<pid_t> pidsOf(const std::string& name);
// Ends a process that is not our child (a detached daemon) by its PID: SIGTERM, up to
// graceMs, then SIGKILL. True when it is gone.
bool endPid(pid_t pid, int graceMs = 3000);

// ------------------------------------------------------------------ Syslog
// The rig's system log (RIG_SYSLOG), as busybox syslogd writes it:
//   "Dec  8 19:03:03 host user.warn gatex1d[42]: failed to open device file: ..."
// Offsets (marks) let a test look only at what was logged after a point.
class Syslog {
public:
    using Mark = std::size_t;
    struct Entry {
        std::string facility;  // "user"
        std::string priority;  // "err", "warn", "info" (busybox spelling), ...
        std::string ident;     // "gatex1d"
        int pid = -1;          // -1 when the line carries none
        std::string message;   // the text after "ident[pid]: "
    };

    Syslog();                               // RIG_SYSLOG
    explicit Syslog(std::string path);
    const std::string& path() const { return path_; }

    // The current end of the log; pass it as since to look only at later lines.
    Mark mark() const;
    // Complete lines after since, without their "\n".
    std::vector<std::string> lines(Mark since = 0) const;
    // Number of lines after since that contain text.
    int count(std::string_view text, Mark since = 0) const;
    // Waits up to timeoutMs until at least n lines after since contain text.
    bool waitFor(std::string_view text, int timeoutMs, Mark since = 0, int n = 1) const;
    // Splits one log line; nullopt if it is not in syslogd's shape.
    static std::optional<Entry> parse(std::string_view line);

private:
    std::string path_;
};

// Milliseconds of a monotonic clock (for deadlines).
using drvq::nowMs;

}  // namespace rig
