// utlink: see utlink.h.
#include "utlink.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "devlock.h"
#include "log.h"

namespace {
void on_timer(int) {}

// The one-shot timer that cuts a blocking connect or read short: the handler does
// nothing and does not restart the call, so the call fails with EINTR.
void arm(int ms) {
    if (ms <= 0) ms = 1;  // a zero timer would mean no limit at all
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_timer;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGALRM, &sa, nullptr);
    struct itimerval it;
    memset(&it, 0, sizeof it);
    it.it_value.tv_sec = ms / 1000;
    it.it_value.tv_usec = (ms % 1000) * 1000;
    setitimer(ITIMER_REAL, &it, nullptr);
}

void disarm() {
    struct itimerval it;
    memset(&it, 0, sizeof it);
    setitimer(ITIMER_REAL, &it, nullptr);  // first the timer, then the handler
    signal(SIGALRM, SIG_DFL);
}
}  // namespace

int ut_openandinit(const char* host, int port, int timeout, bool take_lock) {
    if (take_lock) devlock_take();
    auto fail = [&] {
        if (take_lock) devlock_release();
        return -1;
    };
    struct hostent* he = gethostbyname(host);
    if (!he || he->h_addrtype != AF_INET || !he->h_addr_list[0]) {
        drv_log(LOG_WARNING, "failed to find host: %s", host);
        return fail();
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    memcpy(&addr.sin_addr, he->h_addr_list[0], sizeof addr.sin_addr);
    addr.sin_port = htons((uint16_t)port);
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) {
        drv_log(LOG_WARNING, "failed to create socket");
        return fail();
    }
    // A port outside 1..65535 would be cut to 16 bits and reach another service.
    bool ok = port > 0 && port <= 65535;
    if (ok) {
        arm(timeout);
        ok = connect(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
        disarm();
    }
    if (!ok) {
        drv_log(LOG_WARNING, "failed to connect host: %s, port %d", host, port);
        ::close(sock);
        return fail();
    }
    return sock;
}

void ut_close(int sock, bool release_lock) {
    ::close(sock);
    if (release_lock) devlock_release();
}

int ut_read(int sock, void* buffer, int size, int timeout) {
    arm(timeout);
    ssize_t n = ::read(sock, buffer, (size_t)size);
    disarm();
    return n < 0 ? -1 : (int)n;
}

bool UtSocketLink::send(int fd, const void* data, size_t len) {
    // A gateway that has closed must not kill the connection process by SIGPIPE.
    return ::send(fd, data, len, MSG_NOSIGNAL) == (ssize_t)len;
}

void UtSocketLink::lock() { devlock_take(); }
void UtSocketLink::unlock() { devlock_release(); }
