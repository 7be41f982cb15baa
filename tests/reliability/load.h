// Load and fault helpers of the reliability tests: many clients at once against
// one TCP daemon, each answer compared in full, with the figures (requests per
// second, latency percentiles) kept for the report.
//
// Sizes come from the environment so that `make reliability` runs the full load
// and the integration stage a small one:
//   ORV_RELIAB_CLIENTS   concurrent clients (default 20)
//   ORV_RELIAB_REQUESTS  requests per client (default 100)
//   ORV_RELIAB_REPORT    file the figures are appended to (default: none)
//   ORV_RELIAB_SOAK      requests of a soak of gatex1d and gatex2d (default 2000)
//   ORV_RELIAB_SOAK_ZR1  requests of a soak of ZR1Communicator (default 30; each
//                        costs at least one 100 ms answer poll)
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace reliab {

int envInt(const char* name, int def);
int clients();
int requests();

// One request line (line end included) and the answer it must get. With prefix,
// only the beginning of the answer is compared and the rest must match rest (a
// character class test over the remainder, e.g. digits of a time).
struct Req {
    Req() = default;
    Req(std::string l, std::string w, bool p = false, std::function<bool(const std::string&)> r = {})
        : line(std::move(l)), want(std::move(w)), prefix(p), rest(std::move(r)) {}
    std::string line;
    std::string want;
    bool prefix = false;
    std::function<bool(const std::string&)> rest;
    // Further answers that count as correct (e.g. a documented failure status
    // while a fault is injected); they are counted apart.
    std::vector<std::string> alsoOk;
};
using Plan = std::function<Req(int client, int i)>;

struct LoadStats {
    long answered = 0;    // answers that matched want
    long tolerated = 0;   // answers that matched one of alsoOk
    long wrong = 0;       // any other answer
    long lost = 0;        // requests without an answer
    long extra = 0;       // clients that got bytes after their last answer
    long connFailed = 0;  // clients that could not connect
    double seconds = 0;
    std::vector<long> latUs;  // per answered request
    std::string firstBad;     // the first wrong answer, with its request
    double perSecond() const { return seconds > 0 ? (double)(answered + tolerated) / seconds : 0; }
    long percentileUs(double p) const;
    std::string summary() const;
};

struct LoadOptions {
    int answerMs = 20000;   // bound of one answer
    int connectMs = 60000;  // bound of the connection (a restarting daemon refuses for a while)
    // Called in the loader's own thread once the given share of all requests is
    // answered (0..1) and every client has had its first answer; the fault of the
    // scenario goes there.
    double faultAt = -1;
    std::function<void()> fault;
};

// clients() threads, each one connection doing n requests one after another.
LoadStats runLoad(int port, int nClients, int nRequests, const Plan& plan, const LoadOptions& o = {});

// Resident memory and open descriptors of a process, from /proc (-1: unknown).
struct ProcUse {
    long rssKiB = -1;
    int fds = -1;
};
ProcUse procUse(pid_t pid);
// The main process of a daemon that forks a process per connection: the one of
// the processes called name whose parent is not one of them (-1: none).
pid_t mainProcessOf(const std::string& name);

// A soak: total requests, plan(0, i), one after another on one long-lived
// connection, except that every reconnectEvery-th goes over a connection of its
// own (so the main process accepts and forks all along). The main process and the
// long-lived connection's process (the child of mainPid that serves it) are
// sampled after a warm-up (a tenth of the requests, at least 20) and then nine
// times evenly over the rest: 10 samples each, the first the baseline.
struct SoakStats {
    long answered = 0, wrong = 0, lost = 0, connections = 0;
    double seconds = 0;
    pid_t connPid = -1;
    std::vector<ProcUse> main, conn;
    std::string firstBad;
    std::string summary() const;
};
SoakStats runSoak(int port, pid_t mainPid, long total, int reconnectEvery, const Plan& plan);
// Growth beyond noise: descriptors must stay exactly as at the baseline; resident
// memory within slackKiB of it (allocator and stack pages settling). Empty when
// neither grew; otherwise what grew. Sanitizer builds hold freed memory back on
// purpose, so there only descriptors count.
std::string soakGrowth(const SoakStats& s, long slackKiB);

// Appends one line to the report (and prints it).
void record(const std::string& scenario, const std::string& text);

}  // namespace reliab
