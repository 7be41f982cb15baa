// utlink: see utlink.h.
#include "utlink.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "devlock.h"
#include "log.h"
#include "timedio.h"

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
    // A limit of 0 or less has always meant the shortest one, never none at all.
    if (ok) ok = tio_connect(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr, timeout > 0 ? timeout : 1) == 0;
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
    if (size <= 0) return -1;
    ssize_t n = tio_read(sock, buffer, (size_t)size, timeout > 0 ? timeout : 1);
    return n < 0 ? -1 : (int)n;
}

bool UtSocketLink::send(int fd, const void* data, size_t len) {
    // A gateway that has closed must not kill the connection process by SIGPIPE.
    return ::send(fd, data, len, MSG_NOSIGNAL) == (ssize_t)len;
}

void UtSocketLink::lock() { devlock_take(); }
void UtSocketLink::unlock() { devlock_release(); }
