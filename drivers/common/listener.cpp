// listener: see listener.h.
#include "listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>

int listener_socket(bool* reuseOk) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int on = 1;
    *reuseOk = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
    return fd;
}

int listener_bind(int fd, int port) {
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons((uint16_t)port);
    return bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa);
}
