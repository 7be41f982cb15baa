// lockholder: the killed-lock-holder scenario; see lockholder.h.
#include "lockholder.h"

#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

#include "rig.h"

namespace lockholder {

std::vector<Semaphore> semaphores()
{
    std::vector<Semaphore> out;
    std::ifstream in("/proc/sysvipc/sem");
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::istringstream f(line);
        long key = 0;
        Semaphore s;
        if (!(f >> key >> s.id))
            continue;
        s.value = semctl(s.id, 0, GETVAL);
        s.waiting = semctl(s.id, 0, GETNCNT);
        s.lastPid = semctl(s.id, 0, GETPID);
        if (s.value >= 0)
            out.push_back(s);
    }
    return out;
}

namespace {

// The semaphore pid holds (value 0, pid its last operator), or -1.
int heldBy(pid_t pid)
{
    for (const Semaphore& s : semaphores())
        if (s.value == 0 && s.lastPid == pid)
            return s.id;
    return -1;
}

int waitersOn(int id)
{
    for (const Semaphore& s : semaphores())
        if (s.id == id)
            return s.waiting;
    return 0;
}

}  // namespace

Outcome killLockHolder(const std::string& daemon, int port, const std::string& holderLine,
                       const std::string& waiterLine, int boundMs, const std::function<void()>& afterKill)
{
    Outcome o;
    std::vector<pid_t> before = rig::pidsOf(daemon);
    rig::ProtoClient holder;
    if (!holder.connect("127.0.0.1", port, boundMs) || !holder.sendLine(holderLine)) {
        o.error = "the holder could not connect and send";
        return o;
    }
    int sem = -1;
    rig::waitUntil(
        [&] {
            for (pid_t p : rig::pidsOf(daemon))
                if (std::find(before.begin(), before.end(), p) == before.end() && (sem = heldBy(p)) >= 0) {
                    o.holder = p;
                    return true;
                }
            return false;
        },
        boundMs);
    if (o.holder < 0) {
        o.error = "no new " + daemon + " process took the lock";
        return o;
    }

    long long answeredAt = 0;
    std::thread waiter;
    if (!waiterLine.empty()) {
        waiter = std::thread([&] {
            rig::ProtoClient c;
            if (!c.connect("127.0.0.1", port, boundMs))
                return;
            o.waiterAnswer = c.request(waiterLine, 2 * boundMs).value_or("(no answer)");
            answeredAt = rig::nowMs();
        });
        if (!rig::waitUntil([&] { return waitersOn(sem) > 0; }, boundMs))
            o.error = "no client came to wait for the lock";
    }
    long long killedAt = rig::nowMs();
    kill(o.holder, SIGKILL);
    if (afterKill)
        afterKill();
    if (waiter.joinable())
        waiter.join();
    if (answeredAt > 0)
        o.resumeMs = answeredAt - killedAt;
    o.holderClosed = holder.closed(boundMs);
    return o;
}

}  // namespace lockholder
