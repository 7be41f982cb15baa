// load: see load.h.
#include "load.h"

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "rig.h"

namespace reliab {

int envInt(const char* name, int def) {
    const char* v = getenv(name);
    if (!v || !*v) return def;
    int n = atoi(v);
    return n > 0 ? n : def;
}
int clients() { return envInt("ORV_RELIAB_CLIENTS", 20); }
int requests() { return envInt("ORV_RELIAB_REQUESTS", 100); }

long LoadStats::percentileUs(double p) const {
    if (latUs.empty()) return -1;
    std::vector<long> v = latUs;
    size_t k = (size_t)(p * (double)(v.size() - 1) + 0.5);
    std::nth_element(v.begin(), v.begin() + (long)k, v.end());
    return v[k];
}

std::string LoadStats::summary() const {
    char b[400];
    snprintf(b, sizeof b,
             "answered=%ld tolerated=%ld wrong=%ld lost=%ld extra=%ld connfailed=%ld "
             "%.1f req/s p50=%.2f ms p99=%.2f ms (%.1f s)",
             answered, tolerated, wrong, lost, extra, connFailed, perSecond(), percentileUs(0.50) / 1000.0,
             percentileUs(0.99) / 1000.0, seconds);
    return b;
}

namespace {
bool matches(const Req& r, const std::string& got) {
    if (!r.prefix) return got == r.want;
    if (got.compare(0, r.want.size(), r.want) != 0) return false;
    return !r.rest || r.rest(got.substr(r.want.size()));
}
}  // namespace

LoadStats runLoad(int port, int nClients, int nRequests, const Plan& plan, const LoadOptions& o) {
    LoadStats total;
    std::mutex mu;
    std::atomic<long> done{0};
    std::atomic<int> served{0};  // clients past their first exchange (or their failed connect)
    const long all = (long)nClients * nRequests;
    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    threads.reserve((size_t)nClients);
    for (int c = 0; c < nClients; c++) {
        threads.emplace_back([&, c] {
            LoadStats s;
            s.latUs.reserve((size_t)nRequests);
            rig::ProtoClient cl;
            if (!cl.connect("127.0.0.1", port, o.connectMs)) {
                s.connFailed = 1;
                s.lost = nRequests;
                served++;
            } else {
                for (int i = 0; i < nRequests; i++) {
                    Req r = plan(c, i);
                    auto a = std::chrono::steady_clock::now();
                    std::optional<std::string> got;
                    if (cl.sendLine(r.line)) got = cl.readLine(o.answerMs);
                    auto b = std::chrono::steady_clock::now();
                    done++;
                    if (i == 0) served++;
                    if (!got) {
                        // The connection is of no more use: the rest is lost too.
                        s.lost += nRequests - i;
                        if (s.firstBad.empty()) s.firstBad = r.line + " -> (no answer)";
                        break;
                    }
                    if (matches(r, *got)) {
                        s.answered++;
                    } else if (std::find(r.alsoOk.begin(), r.alsoOk.end(), *got) != r.alsoOk.end()) {
                        s.tolerated++;
                    } else {
                        s.wrong++;
                        if (s.firstBad.empty()) s.firstBad = r.line + " -> " + *got;
                        continue;
                    }
                    s.latUs.push_back((long)std::chrono::duration_cast<std::chrono::microseconds>(b - a).count());
                }
                // Nothing may follow the last answer (a duplicate would).
                if (!s.lost && (cl.readLine(100) || !cl.pending().empty())) s.extra = 1;
            }
            std::lock_guard<std::mutex> g(mu);
            total.answered += s.answered;
            total.tolerated += s.tolerated;
            total.wrong += s.wrong;
            total.lost += s.lost;
            total.extra += s.extra;
            total.connFailed += s.connFailed;
            total.latUs.insert(total.latUs.end(), s.latUs.begin(), s.latUs.end());
            if (total.firstBad.empty()) total.firstBad = s.firstBad;
        });
    }
    if (o.fault) {
        long at = (long)(o.faultAt * (double)all);
        // Every client's connection is taken by then: one still waiting in the
        // listener's backlog would be reset by a restart, which is the reconnecting
        // client's case, not the load's.
        rig::waitUntil([&] { return done.load() >= at && served.load() >= nClients; }, 600000, 2);
        o.fault();
    }
    for (auto& t : threads) t.join();
    total.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return total;
}

ProcUse procUse(pid_t pid) {
    ProcUse u;
    std::string dir = "/proc/" + std::to_string(pid);
    std::ifstream st(dir + "/status");
    std::string key;
    long v;
    while (st >> key) {
        if (key == "VmRSS:" && st >> v) {
            u.rssKiB = v;
            break;
        }
        st.ignore(1 << 20, '\n');
    }
    if (DIR* d = opendir((dir + "/fd").c_str())) {
        int n = 0;
        while (struct dirent* e = readdir(d))
            if (e->d_name[0] != '.') n++;
        closedir(d);
        u.fds = n;
    }
    return u;
}

pid_t mainProcessOf(const std::string& name) {
    std::vector<pid_t> all = rig::pidsOf(name);
    for (pid_t p : all) {
        std::ifstream f("/proc/" + std::to_string(p) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        // pid (comm) state ppid ...: the name may hold blanks, so read after the last ")".
        size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        std::string state;
        pid_t ppid = -1;
        rest >> state >> ppid;
        if (std::find(all.begin(), all.end(), ppid) == all.end()) return p;
    }
    return -1;
}

namespace {
std::vector<pid_t> childrenOf(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<pid_t> v;
    for (pid_t c; f >> c;) v.push_back(c);
    return v;
}
std::string uses(const std::vector<ProcUse>& v) {
    std::string s;
    for (const ProcUse& u : v) s += (s.empty() ? "" : " ") + std::to_string(u.rssKiB) + "/" + std::to_string(u.fds);
    return s;
}
}  // namespace

std::string SoakStats::summary() const {
    char b[200];
    snprintf(b, sizeof b, "answered=%ld wrong=%ld lost=%ld connections=%ld %.1f req/s (%.1f s); ", answered,
             wrong, lost, connections, seconds > 0 ? (double)(answered + wrong) / seconds : 0.0, seconds);
    return b + ("main RSS KiB/fds: " + uses(main)) + "; connection process: " + uses(conn);
}

SoakStats runSoak(int port, pid_t mainPid, long total, int reconnectEvery, const Plan& plan) {
    SoakStats s;
    auto t0 = std::chrono::steady_clock::now();
    rig::ProtoClient cl;
    if (!cl.connect("127.0.0.1", port, 30000)) {
        s.lost = total;
        return s;
    }
    // The warm-up covers every kind of request of the plans (their patterns repeat
    // within 20) so that each code path has made its one-time allocations.
    long warm = std::min(total, std::max(total / 10, 20L)), step = (total - warm) / 9;
    if (step < 1) step = 1;
    for (long i = 0; i < total; i++) {
        Req r = plan(0, (int)(i % 1000000000));
        std::optional<std::string> got;
        if (reconnectEvery > 0 && i % reconnectEvery == reconnectEvery - 1) {
            rig::ProtoClient once;
            s.connections++;
            if (once.connect("127.0.0.1", port, 30000)) got = once.request(r.line, 20000);
        } else {
            got = cl.request(r.line, 20000);
            // The first answer on it: its process is the main process's only child.
            if (s.connPid < 0 && got) {
                std::vector<pid_t> c = childrenOf(mainPid);
                if (c.size() == 1) s.connPid = c[0];
            }
        }
        if (!got) {
            s.lost++;
            if (s.firstBad.empty()) s.firstBad = r.line + " -> (no answer)";
            // An answer missing on the long-lived connection leaves it out of step.
            if (cl.eof() || cl.timedOut() || !cl.connected()) break;
        } else if (matches(r, *got)) {
            s.answered++;
        } else {
            s.wrong++;
            if (s.firstBad.empty()) s.firstBad = r.line + " -> " + *got;
        }
        long n = i + 1;
        if (n >= warm && (n - warm) % step == 0 && s.main.size() < 10) {
            s.main.push_back(procUse(mainPid));
            s.conn.push_back(s.connPid > 0 ? procUse(s.connPid) : ProcUse{});
        }
    }
    s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return s;
}

std::string soakGrowth(const SoakStats& s, long slackKiB) {
#if defined(__SANITIZE_ADDRESS__)
    constexpr bool kRss = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    constexpr bool kRss = false;
#else
    constexpr bool kRss = true;
#endif
#else
    constexpr bool kRss = true;
#endif
    std::string grew;
    auto check = [&](const char* who, const std::vector<ProcUse>& v) {
        if (v.size() < 2) {
            grew += std::string(who) + ": fewer than two samples; ";
            return;
        }
        for (const ProcUse& u : v) {
            if (u.fds < 0 || u.rssKiB < 0) {
                grew += std::string(who) + ": process gone; ";
                return;
            }
            if (u.fds != v[0].fds) {
                grew += std::string(who) + " descriptors " + std::to_string(v[0].fds) + " -> " + std::to_string(u.fds) + "; ";
                return;
            }
            if (kRss && u.rssKiB > v[0].rssKiB + slackKiB) {
                grew += std::string(who) + " RSS " + std::to_string(v[0].rssKiB) + " -> " + std::to_string(u.rssKiB) +
                        " KiB; ";
                return;
            }
        }
    };
    check("main", s.main);
    check("connection", s.conn);
    return grew;
}

void record(const std::string& scenario, const std::string& text) {
    std::string line = scenario + ": " + text;
    std::cout << "[reliability] " << line << std::endl;
    if (const char* p = getenv("ORV_RELIAB_REPORT"); p && *p) std::ofstream(p, std::ios::app) << line << "\n";
}

}  // namespace reliab
