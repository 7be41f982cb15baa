// load: see load.h.
#include "load.h"

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
            } else {
                for (int i = 0; i < nRequests; i++) {
                    Req r = plan(c, i);
                    auto a = std::chrono::steady_clock::now();
                    std::optional<std::string> got;
                    if (cl.sendLine(r.line)) got = cl.readLine(o.answerMs);
                    auto b = std::chrono::steady_clock::now();
                    done++;
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
        long long end = rig::nowMs() + 600000;
        while (done.load() < at && rig::nowMs() < end) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        o.fault();
    }
    for (auto& t : threads) t.join();
    total.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return total;
}

void record(const std::string& scenario, const std::string& text) {
    std::string line = scenario + ": " + text;
    std::cout << "[reliability] " << line << std::endl;
    if (const char* p = getenv("ORV_RELIAB_REPORT"); p && *p) std::ofstream(p, std::ios::app) << line << "\n";
}

}  // namespace reliab
