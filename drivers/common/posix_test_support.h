// Test helpers of the POSIX shells: a bounded wait for a condition, a loopback
// listener, and running a call that must not block in a child process with a bound.
// The rig's tests have the same wait as rig::waitUntil.
#pragma once
#include "deadline.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace drvtest {

// Asks done() every pollMs until it is true or timeoutMs has passed; true when it
// became true. The way to wait for a condition instead of sleeping for a guess.
template <class Done>
bool waitUntil(Done done, int timeoutMs, int pollMs = 10) {
    orv::Deadline d = orv::Deadline::in(timeoutMs);
    for (;;) {
        if (done()) return true;
        if (d.passed()) return false;
        usleep(static_cast<useconds_t>(pollMs) * 1000);
    }
}

// A listener on a free loopback port.
struct LoopbackListener {
    int fd = -1;
    int port = 0;
    sockaddr_in addr{};
    int filler = -1;

    explicit LoopbackListener(int backlog = 4) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, (sockaddr*)&addr, sizeof addr);
        listen(fd, backlog);
        socklen_t len = sizeof addr;
        getsockname(fd, (sockaddr*)&addr, &len);
        port = ntohs(addr.sin_port);
    }
    ~LoopbackListener() {
        if (filler >= 0) close(filler);
        close(fd);
    }
    int accept() { return ::accept(fd, nullptr, nullptr); }
    // With backlog 0: one connection that is never accepted fills the queue, and a
    // further connect is never completed by the peer (its SYN is dropped), as with
    // a gateway that is down. True when the filling connection was made.
    bool fill() {
        filler = socket(AF_INET, SOCK_STREAM, 0);
        return connect(filler, (sockaddr*)&addr, sizeof addr) == 0;
    }
};

// Runs fn in a child process: true when the child ended on its own, with status 0,
// within boundMs. For calls that must not block: a regression that blocks ends in
// a failed check, and the child is ended by its PID, instead of hanging the test.
inline bool endsOnItsOwn(const std::function<void()>& fn, int boundMs = 10000) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        fn();
        _exit(0);
    }
    if (pid < 0) return false;
    int st = 0;
    if (waitUntil([&] { return waitpid(pid, &st, WNOHANG) == pid; }, boundMs))
        return WIFEXITED(st) && WEXITSTATUS(st) == 0;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

}  // namespace drvtest
