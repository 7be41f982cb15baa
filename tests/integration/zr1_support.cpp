// zr1_support: see zr1_support.h.
#include "zr1_support.h"

#include <dirent.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace zr1t {

static bool copyFile(const std::string& from, const std::string& to, mode_t mode) {
    std::ifstream in(from, std::ios::binary);
    if (!in) return false;
    std::string tmp = to + ".new";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
        if (!out) return false;
    }
    chmod(tmp.c_str(), mode);
    return rename(tmp.c_str(), to.c_str()) == 0;
}

void install(const std::string& ini) {
    std::string dir = kDir;
    copyFile(rig::binDir() + "/ZR1Communicator", dir + "/ZR1Communicator", 0755);
    copyFile(rig::binDir() + "/serlink", dir + "/serlink", 0755);
    copyFile(std::string(ZR1_SOURCE_DIR) + "/ZR1.sh", dir + "/ZR1.sh", 0755);
    std::ofstream(dir + "/ZR1Communicator.ini", std::ios::trunc) << ini;
}

bool startCommander(rig::Process& p, const std::string& tag) {
    rig::Process::Options o;
    o.cwd = kDir;
    o.stdoutPath = rig::scratchDir() + "/" + tag + ".out";
    o.stderrPath = rig::scratchDir() + "/" + tag + ".err";
    return p.start({std::string(kDir) + "/ZR1Communicator"}, o);
}

std::string startSensornet(rig::Process& sim, const std::vector<std::string>& nodes, const std::string& framelog) {
    unlink(framelog.c_str());
    rig::Process::Options o;
    o.stdoutPath = rig::scratchDir() + "/sensornet.out";
    unlink(o.stdoutPath.c_str());
    std::vector<std::string> argv = {rig::binDir() + "/sensornet", "--log", framelog};
    argv.insert(argv.end(), nodes.begin(), nodes.end());
    if (!sim.start(argv, o)) return "";
    std::string slave;
    rig::waitUntil(
        [&] {
            std::string s = rig::readFile(o.stdoutPath);
            if (s.find('\n') != std::string::npos) slave = s.substr(0, s.find('\n'));
            return !slave.empty();
        },
        5000);
    return slave;
}

bool startWithScript(const std::string& tag) {
    rig::Process::Options o;
    o.shim = true;  // the pty passes for a USB serial adapter
    o.env = {"ZR1_OUT=" + rig::scratchDir() + "/" + tag + ".out"};
    rig::Process s({"setsid", "-w", std::string(kDir) + "/ZR1.sh", "start"}, o);
    return s.waitExit(10000).has_value();
}

static std::string cmdlineOf(pid_t pid) {
    std::string s = rig::readFile("/proc/" + std::to_string(pid) + "/cmdline");
    for (char& c : s)
        if (c == '\0') c = ' ';
    return s;
}

static std::vector<pid_t> allPids() {
    std::vector<pid_t> out;
    DIR* d = opendir("/proc");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long v = strtol(e->d_name, &end, 10);
        if (*end == '\0' && v > 0) out.push_back(pid_t(v));
    }
    closedir(d);
    return out;
}

// A process that has ended but is not yet reaped still has a cmdline of zero
// length; only living ones count.
std::vector<pid_t> commanderPids() {
    std::vector<pid_t> out;
    for (pid_t p : allPids())
        if (cmdlineOf(p).find("/ZR1Communicator") != std::string::npos && p != getpid()) out.push_back(p);
    return out;
}

std::vector<pid_t> transceiverPids() { return rig::pidsOf("serlink"); }

pid_t commanderMain() {
    std::vector<pid_t> all = commanderPids();
    for (pid_t p : all) {
        std::string st = rig::readFile("/proc/" + std::to_string(p) + "/stat");
        size_t rp = st.rfind(')');
        if (rp == std::string::npos) continue;
        pid_t ppid = pid_t(atoi(st.c_str() + rp + 4));
        if (std::find(all.begin(), all.end(), ppid) == all.end()) return p;
    }
    return -1;
}

std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> out;
    for (pid_t p : allPids()) {
        std::string st = rig::readFile("/proc/" + std::to_string(p) + "/stat");
        size_t rp = st.rfind(')');
        if (rp == std::string::npos) continue;
        std::istringstream f(st.substr(rp + 2));
        char state;
        pid_t ppid = 0;
        f >> state >> ppid;
        if (ppid == parent && state != 'Z') out.push_back(p);
    }
    return out;
}

void endAll() {
    for (int round = 0; round < 3; round++) {
        for (pid_t p : commanderPids()) rig::endPid(p, 2000);
        for (pid_t p : transceiverPids()) rig::endPid(p, 2000);
    }
}

std::vector<std::string> sysvipc(const std::string& kind) {
    std::istringstream in(rig::readFile("/proc/sysvipc/" + kind));
    std::vector<std::string> lines;
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line))
        if (!line.empty()) lines.push_back(line);
    return lines;
}

bool sysvKeyExists(const std::string& kind, int key) {
    for (const std::string& l : sysvipc(kind)) {
        std::istringstream f(l);
        long k = 0;
        f >> k;
        if (k == key) return true;
    }
    return false;
}

int semaphoreSets() { return int(sysvipc("sem").size()); }

QueuePeer::QueuePeer(int key1, int key2) : key1_(key1), key2_(key2) {
    reqq_ = msgget(key_t(key1_), IPC_CREAT | 0666);
    handler_ = [](const MsgRequest&, MsgAnswer&) { return true; };
    thread_ = std::thread([this] { loop(); });
}

QueuePeer::~QueuePeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    removeQueue();
}

void QueuePeer::onRequest(Handler h) {
    std::lock_guard<std::mutex> lk(mu_);
    handler_ = std::move(h);
}

void QueuePeer::sendRaw(const MsgAnswer& a) {
    while (ansq_ < 0 && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    zr_send_answer(ansq_, a, IPC_NOWAIT);
}

std::vector<MsgRequest> QueuePeer::requests() {
    std::lock_guard<std::mutex> lk(mu_);
    return requests_;
}

bool QueuePeer::waitRequests(size_t n, int timeoutMs) {
    return rig::waitUntil([&] { return requests().size() >= n; }, timeoutMs);
}

void QueuePeer::removeQueue() {
    std::lock_guard<std::mutex> lk(mu_);
    if (reqq_ >= 0) msgctl(reqq_, IPC_RMID, nullptr);
    reqq_ = -1;
}

void QueuePeer::loop() {
    static MsgRequest r;
    static MsgAnswer a;
    while (!stop_) {
        if (ansq_ < 0) ansq_ = msgget(key_t(key2_), 0);
        int q;
        {
            std::lock_guard<std::mutex> lk(mu_);
            q = reqq_;
        }
        if (q < 0 || zr_recv_request(q, r, IPC_NOWAIT) < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        // How many requests are waiting besides this one: the commander's
        // semaphore allows only one exchange at a time.
        struct msqid_ds ds;
        if (msgctl(q, IPC_STAT, &ds) == 0 && int(ds.msg_qnum) + 1 > maxOutstanding_) maxOutstanding_ = int(ds.msg_qnum) + 1;
        Handler h;
        {
            std::lock_guard<std::mutex> lk(mu_);
            requests_.push_back(r);
            h = handler_;
        }
        zr_prepare_answer(a, r);
        if (h(r, a) && ansq_ >= 0) zr_send_answer(ansq_, a, IPC_NOWAIT);
    }
}

}  // namespace zr1t
