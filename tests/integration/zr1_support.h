// Helpers of the sensor-network integration tests: installing the pair into
// the rig's private /home/drivers/vexa/zr, starting the commander, looking at
// its System V objects and ending every process of it by PID.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rig.h"
#include "zr1msg.h"

namespace zr1t {

inline const char* kDir = "/home/drivers/vexa/zr";

// Copies ZR1Communicator (and serlink, when built) and ZR1.sh into kDir and
// writes ZR1Communicator.ini with the given text.
void install(const std::string& ini);
// Starts the commander the way ZR1.sh does (working folder kDir); its standard
// output and error go to files in the rig's scratch folder.
bool startCommander(rig::Process& p, const std::string& tag = "zr1");
// Starts the sensor-network simulator with these nodes ("5:types=20/20/10", ...)
// and its frame log; the pty's slave path, or "" when it named none within 5 s.
std::string startSensornet(rig::Process& sim, const std::vector<std::string>& nodes, const std::string& framelog);
// Starts the installed pair the way the appliance does, through ZR1.sh start (only
// inside the rig: its stop step signals by name), the serial shim preloaded; the
// commander's output goes to tag.out in the scratch folder. True once ZR1.sh returned.
bool startWithScript(const std::string& tag);
// PIDs of every process of the commander and of the transceiver.
std::vector<pid_t> commanderPids();
std::vector<pid_t> transceiverPids();
// Children of pid (from /proc).
std::vector<pid_t> childrenOf(pid_t pid);
// The commander's main process: the one whose parent is not a commander; -1 when none.
pid_t commanderMain();
// Ends every commander and transceiver process still there (by PID).
void endAll();

// Lines of /proc/sysvipc/<kind> (msg, sem, shm) after the header.
std::vector<std::string> sysvipc(const std::string& kind);
// True when an object with that key exists (key as the kernel lists it).
bool sysvKeyExists(const std::string& kind, int key);
int semaphoreSets();

// A transceiver stand-in on the real queues: creates the request queue (key1),
// opens the answer queue (key2) once the commander made it, and answers each
// request through a handler the test sets. Runs in a thread of the test.
class QueuePeer {
public:
    // Fills the answer (prepared with the request's header); returns false to
    // send nothing. May sleep to make an answer late.
    using Handler = std::function<bool(const MsgRequest&, MsgAnswer&)>;

    explicit QueuePeer(int key1 = 1000, int key2 = 2000);
    ~QueuePeer();
    void onRequest(Handler h);
    // Sends an extra answer record (a stale one) ahead of what the handler sends.
    void sendRaw(const MsgAnswer& a);
    std::vector<MsgRequest> requests();
    bool waitRequests(size_t n, int timeoutMs);
    // Removes the request queue, as a stopped transceiver does.
    void removeQueue();
    int maxOutstanding() const { return maxOutstanding_; }

private:
    void loop();
    int key1_, key2_;
    int reqq_ = -1;
    std::atomic<int> ansq_{-1};
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    Handler handler_;
    std::vector<MsgRequest> requests_;
    std::atomic<int> maxOutstanding_{0};
    std::thread thread_;
};

}  // namespace zr1t
