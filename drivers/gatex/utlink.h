// utlink: the real connection to node gateways: name resolution, a connect and a
// read each bounded by a deadline (timedio), under the field-network lock
// (devlock, the daemon frame's semaphore).
#pragma once
#include <cstddef>

#include "utnode.h"

// If take_lock, takes the lock; resolves host, connects within timeout ms. The
// connected socket, or -1 (logged; the lock released if this call took it).
int ut_openandinit(const char* host, int port, int timeout, bool take_lock);
// Closes the socket and, if release_lock, releases the lock.
void ut_close(int sock, bool release_lock);
// One read of at most size bytes within timeout ms: the byte count, 0 when the
// gateway closed, -1 on timeout or error. No string end is added.
int ut_read(int sock, void* buffer, int size, int timeout);

// UtLink over the functions above.
class UtSocketLink : public UtLink {
public:
    int open(const char* host, int port, int timeoutMs, bool takeLock) override {
        return ut_openandinit(host, port, timeoutMs, takeLock);
    }
    void close(int fd, bool releaseLock) override { ut_close(fd, releaseLock); }
    bool send(int fd, const void* data, size_t len) override;
    int read(int fd, void* buf, int size, int timeoutMs) override { return ut_read(fd, buf, size, timeoutMs); }
    void lock() override;
    void unlock() override;
};
