// Test helpers of the POSIX shells: a loopback listener, and running a call that
// must not block in a child process with a bound.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace drvtest {

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
    for (int waited = 0; waited < boundMs; waited += 10) {
        int st;
        if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) && WEXITSTATUS(st) == 0;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

}  // namespace drvtest
