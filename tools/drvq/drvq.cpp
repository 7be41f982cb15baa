// drvq: a command-line client of the driver request protocol for service engineers.
//
//   drvq [-H host] [-p port | --gatex1 | --gatex2 | --zr | --all] [options] REQUEST...
//   drvq [...] leaves
//   drvq [...] value NODE LEAF TOQ
//   drvq [...] watch [-i seconds] [-n count]
//
// Raw requests are sent as given, one after the other, each answered before the
// next is sent. leaves, value and watch know each daemon's dialect. Any status other
// than OK makes the exit code 1 and is explained on standard error.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "drvq_core.h"
#include "protoclient.h"

using namespace drvq;

namespace {

enum { kExitOk = 0, kExitStatus = 1, kExitUsage = 2, kExitConnect = 3 };

struct Target {
    Dialect dialect;
    int port;
};

struct Options {
    std::string host = "127.0.0.1";
    std::vector<Target> targets;
    bool json = false;
    bool traces = false;
    int timeoutMs = 5000;
    double interval = 2.0;
    int count = 0;  // watch: 0 = until interrupted
};

void usage() {
    fprintf(stderr,
            "usage: drvq [-H host] [-p port | --gatex1 | --gatex2 | --zr | --all] [--json] [-v] [-t ms] REQUEST...\n"
            "       drvq [...] leaves\n"
            "       drvq [...] value NODE LEAF TOQ\n"
            "       drvq [...] watch [-i seconds] [-n count]\n"
            "  -H host     daemon host (default 127.0.0.1)\n"
            "  -p port     daemon port; the dialect follows the port (1112 gatex2d, 1131 ZR1Communicator,\n"
            "              else gatex1d) unless a dialect option is given\n"
            "  --gatex1 --gatex2 --zr   the daemon (and its default port 1111, 1112, 1131)\n"
            "  --all       all three daemons (watch and leaves)\n"
            "  --json      one JSON object (or array) per answer, for scripts\n"
            "  -v          also print trace lines (\"!...\") of gatex daemons in verbose mode\n"
            "  -t ms       time limit for connecting and for each answer (default 5000)\n");
}

// One connection to a daemon, in its dialect.
class Client {
public:
    Client(const Options& o, Target t) : o_(o), t_(t) {}
    bool open(std::string* err) {
        if (conn_.connectOnce(o_.host, t_.port, o_.timeoutMs)) return true;
        if (conn_.error().rfind("cannot resolve", 0) == 0)
            *err = conn_.error();
        else
            *err = "cannot connect to " + std::string(dialectName(t_.dialect)) + " at " + o_.host + ":" +
                   std::to_string(t_.port) + ": " + conn_.error();
        return false;
    }
    // Sends a request and reads its response line; trace lines go to traces.
    bool request(const std::string& req, Response* r, std::vector<std::string>* traces) {
        if (!conn_.sendLine(req + lineEnd(t_.dialect), o_.timeoutMs)) return false;
        // ZR1Communicator has no trace lines: whatever comes is the answer.
        std::optional<std::string> line =
            t_.dialect == Dialect::Zr ? conn_.readLine(o_.timeoutMs) : conn_.readResponse(o_.timeoutMs);
        if (traces) traces->insert(traces->end(), conn_.skipped().begin(), conn_.skipped().end());
        conn_.skipped().clear();
        if (!line) return false;
        *r = parseResponse(*line);
        return true;
    }
    // A meta line of a gatex daemon: answered by "!" lines only; "!!" pass-through
    // gives its echo and then the field network's answer.
    bool meta(const std::string& req, std::vector<std::string>* lines) {
        if (!conn_.sendLine(req + "\r\n", o_.timeoutMs)) return false;
        int want = req.rfind("!!", 0) == 0 ? 2 : 1;
        for (int i = 0; i < want; i++) {
            std::optional<std::string> line = conn_.readLine(o_.timeoutMs);
            if (!line) return i > 0;
            lines->push_back(*line);
        }
        return true;
    }

private:
    const Options& o_;
    Target t_;
    ProtoClient conn_;
};

std::string chomp(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

int report(const Options& o, const Response& r) {
    if (o.json) {
        printf("%s\n", responseJson(r).c_str());
    } else {
        printf("%s\n", r.line.c_str());
    }
    if (!r.valid) {
        fprintf(stderr, "drvq: not a response line: '%s'\n", r.line.c_str());
        return kExitStatus;
    }
    if (r.status != "OK") {
        fprintf(stderr, "drvq: %s: %s\n", r.status.c_str(), explainStatus(r.status).c_str());
        return kExitStatus;
    }
    return kExitOk;
}

int runRaw(const Options& o, const std::vector<std::string>& reqs) {
    Client c(o, o.targets[0]);
    std::string err;
    if (!c.open(&err)) {
        fprintf(stderr, "drvq: %s\n", err.c_str());
        return kExitConnect;
    }
    int rc = kExitOk;
    for (const std::string& q : reqs) {
        if (!q.empty() && q[0] == '!' && o.targets[0].dialect != Dialect::Zr) {
            std::vector<std::string> lines;
            if (!c.meta(q, &lines)) {
                fprintf(stderr, "drvq: no answer to '%s'\n", q.c_str());
                return kExitConnect;
            }
            for (auto& l : lines) printf("%s\n", o.json ? ("{\"meta\":\"" + jsonEscape(chomp(l)) + "\"}").c_str() : chomp(l).c_str());
            continue;
        }
        Response r;
        std::vector<std::string> traces;
        if (!c.request(q, &r, &traces)) {
            fprintf(stderr, "drvq: no answer to '%s' within %d ms\n", q.c_str(), o.timeoutMs);
            return kExitConnect;
        }
        if (o.traces)
            for (auto& t : traces) printf("%s\n", chomp(t).c_str());
        rc = std::max(rc, report(o, r));
    }
    return rc;
}

// Reads every leaf and reading of one daemon into rows.
int collect(const Options& o, Target t, std::vector<Row>* rows, bool values) {
    Client c(o, t);
    std::string err;
    const char* name = dialectName(t.dialect);
    if (!c.open(&err)) {
        rows->push_back({name, "-", "-", "-", "-", "unreachable"});
        fprintf(stderr, "drvq: %s\n", err.c_str());
        return kExitConnect;
    }
    Response lr;
    if (!c.request(leavesRequest(t.dialect), &lr, nullptr) || lr.status != "OK") {
        rows->push_back({name, "-", "-", "-", "-", lr.status.empty() ? "no answer" : lr.status});
        return kExitStatus;
    }
    int rc = kExitOk;
    if (!values) {
        for (const std::string& leaf : splitLeaves(lr.val)) rows->push_back({name, leaf, "", "", "", "OK"});
        return rc;
    }
    for (const Reading& rd : expandLeaves(t.dialect, lr.val)) {
        Response r;
        if (!c.request(rd.request, &r, nullptr)) {
            rows->push_back({name, rd.leaf, rd.toq, "", "", "no answer"});
            rc = kExitStatus;
            continue;
        }
        if (r.status != "OK") rc = kExitStatus;
        rows->push_back({name, rd.leaf, rd.toq, r.val, r.time, r.status});
    }
    return rc;
}

int runLeaves(const Options& o) {
    std::vector<Row> rows;
    int rc = kExitOk;
    for (const Target& t : o.targets) rc = std::max(rc, collect(o, t, &rows, false));
    if (o.json) {
        printf("%s\n", rowsJson(rows).c_str());
    } else {
        for (const Row& r : rows)
            if (r.status == "OK") printf("%s %s\n", r.driver.c_str(), r.leaf.c_str());
            else fprintf(stderr, "drvq: %s: %s\n", r.driver.c_str(), r.status.c_str());
    }
    return rc;
}

int runWatch(const Options& o) {
    bool tty = isatty(1);
    int rc = kExitOk;
    for (int i = 0; o.count == 0 || i < o.count; i++) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds((int)(o.interval * 1000)));
        std::vector<Row> rows;
        rc = kExitOk;
        for (const Target& t : o.targets) rc = std::max(rc, collect(o, t, &rows, true));
        if (o.json) {
            printf("%s\n", rowsJson(rows).c_str());
        } else {
            if (tty) printf("\033[H\033[2J");
            printf("%s", renderTable(rows).c_str());
        }
        fflush(stdout);
    }
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::vector<std::string> args;
    int port = 0;
    bool dialectGiven = false;
    Dialect dialect = Dialect::Gatex1;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto next = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                fprintf(stderr, "drvq: %s needs a value\n", what);
                exit(kExitUsage);
            }
            return argv[++i];
        };
        if (a == "-H") o.host = next("-H");
        else if (a == "-p") port = atoi(next("-p"));
        else if (a == "--gatex1") dialect = Dialect::Gatex1, dialectGiven = true;
        else if (a == "--gatex2") dialect = Dialect::Gatex2, dialectGiven = true;
        else if (a == "--zr") dialect = Dialect::Zr, dialectGiven = true;
        else if (a == "--all") o.targets = {{Dialect::Gatex1, 1111}, {Dialect::Gatex2, 1112}, {Dialect::Zr, 1131}};
        else if (a == "--json") o.json = true;
        else if (a == "-v") o.traces = true;
        else if (a == "-t") o.timeoutMs = atoi(next("-t"));
        else if (a == "-i") o.interval = atof(next("-i"));
        else if (a == "-n") o.count = atoi(next("-n"));
        else if (a == "-h" || a == "--help") {
            usage();
            return kExitOk;
        } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            fprintf(stderr, "drvq: unknown option %s\n", a.c_str());
            usage();
            return kExitUsage;
        } else args.push_back(a);
    }
    if (o.targets.empty()) {
        if (!dialectGiven && port == 1112) dialect = Dialect::Gatex2;
        if (!dialectGiven && port == 1131) dialect = Dialect::Zr;
        o.targets.push_back({dialect, port > 0 ? port : defaultPort(dialect)});
    } else if (port > 0 || dialectGiven) {
        fprintf(stderr, "drvq: --all takes no -p or dialect option\n");
        return kExitUsage;
    }
    if (o.timeoutMs <= 0 || args.empty()) {
        usage();
        return kExitUsage;
    }
    if (args[0] == "leaves" && args.size() == 1) return runLeaves(o);
    if (args[0] == "watch" && args.size() == 1) return runWatch(o);
    if (o.targets.size() > 1) {
        fprintf(stderr, "drvq: --all works with leaves and watch only\n");
        return kExitUsage;
    }
    if (args[0] == "value") {
        if (args.size() != 4) {
            usage();
            return kExitUsage;
        }
        return runRaw(o, {valueRequest(o.targets[0].dialect, args[1], args[2], args[3])});
    }
    return runRaw(o, args);
}
