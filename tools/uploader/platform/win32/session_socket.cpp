// session_socket: the remote session's non-blocking Winsock socket, every wait a
// select bounded by the session deadline; see session_socket.h.
#define NOMINMAX
#include "session_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>

#include "wintext.h"

namespace uplder::win32 {

uint32_t TickDeadline::waitMs(uint64_t now, uint32_t slice) const {
    if (!m_set) return slice;
    if (now >= m_at) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(m_at - now, slice));
}

namespace {

constexpr uint32_t kSliceMs = 1000;

SOCKET sockOf(uintptr_t s) { return static_cast<SOCKET>(s); }

// IPv4 address of host: a dotted address, else a name for the resolver.
int resolve(const std::string& host, in_addr& out) {
    if (inet_pton(AF_INET, host.c_str(), &out) == 1) return 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int r = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (r != 0 || !res) return r ? r : WSAHOST_NOT_FOUND;
    out = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return 0;
}

}  // namespace

WinSessionSocket::~WinSessionSocket() {
    close();
    if (m_started) WSACleanup();
}

bool WinSessionSocket::startup() {
    if (m_started) return true;
    WSADATA data;
    int r = WSAStartup(MAKEWORD(2, 2), &data);
    if (r != 0) {
        m_error = r;
        return false;
    }
    m_started = true;
    return true;
}

bool WinSessionSocket::create() {
    close();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        m_error = WSAGetLastError();
        return false;
    }
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        m_error = WSAGetLastError();
        closesocket(s);
        return false;
    }
    m_sock = static_cast<uintptr_t>(s);
    return true;
}

bool WinSessionSocket::startDeadline(uint32_t ms) {
    m_deadline.start(GetTickCount64(), ms);
    return true;
}

WinSessionSocket::Wait WinSessionSocket::wait(bool forWrite, bool connecting) {
    SelectFn sel = m_select ? m_select : [](int n, fd_set* r, fd_set* w, fd_set* e, timeval* t) {
        return ::select(n, r, w, e, t);
    };
    for (;;) {
        uint64_t now = GetTickCount64();
        if (m_deadline.passed(now)) return Wait::TimedOut;
        uint32_t ms = m_deadline.waitMs(now, kSliceMs);
        fd_set rw, ex;
        FD_ZERO(&rw);
        FD_ZERO(&ex);
        FD_SET(sockOf(m_sock), &rw);
        FD_SET(sockOf(m_sock), &ex);
        timeval tv{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
        int r = sel(0, forWrite ? nullptr : &rw, forWrite ? &rw : nullptr, connecting ? &ex : nullptr, &tv);
        if (r == SOCKET_ERROR) {
            m_error = WSAGetLastError();
            return Wait::Failed;
        }
        if (r > 0) return Wait::Ready;  // a failure shows up in the next call
    }
}

IoResult WinSessionSocket::connect(const std::string& host, uint16_t port) {
    in_addr addr{};
    if (int r = resolve(host, addr)) {
        m_error = r;
        return IoResult::Failed;
    }
    if (m_deadline.passed(GetTickCount64())) {
        m_error = WSAETIMEDOUT;
        return IoResult::TimedOut;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr = addr;
    if (::connect(sockOf(m_sock), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return IoResult::Ok;
    int err = WSAGetLastError();
    if (err != WSAEWOULDBLOCK && err != WSAEINPROGRESS) {
        m_error = err;
        return IoResult::Failed;
    }
    Wait w = wait(true, true);
    if (w == Wait::TimedOut) {
        m_error = WSAETIMEDOUT;
        return IoResult::TimedOut;
    }
    if (w == Wait::Failed) return IoResult::Failed;
    int soErr = 0;
    int len = sizeof soErr;
    if (getsockopt(sockOf(m_sock), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soErr), &len) != 0) {
        m_error = WSAGetLastError();
        return IoResult::Failed;
    }
    if (soErr != 0) {
        m_error = soErr;
        return IoResult::Failed;
    }
    return IoResult::Ok;
}

IoResult WinSessionSocket::receive(uint8_t* buf, size_t cap, size_t& got) {
    got = 0;
    for (;;) {
        Wait w = wait(false);
        if (w == Wait::TimedOut) return IoResult::TimedOut;
        if (w == Wait::Failed) return IoResult::Failed;
        int n = ::recv(sockOf(m_sock), reinterpret_cast<char*>(buf), static_cast<int>(std::min<size_t>(cap, 1 << 20)), 0);
        if (n > 0) {
            got = static_cast<size_t>(n);
            return IoResult::Ok;
        }
        if (n == 0) return IoResult::Closed;
        int err = WSAGetLastError();
        if (err == WSAEWOULDBLOCK || err == WSAEINTR) continue;
        m_error = err;
        return IoResult::Failed;
    }
}

IoResult WinSessionSocket::send(const uint8_t* buf, size_t len) {
    size_t done = 0;
    while (done < len) {
        Wait w = wait(true);
        if (w == Wait::TimedOut) return IoResult::TimedOut;
        if (w == Wait::Failed) return IoResult::Failed;
        int n = ::send(sockOf(m_sock), reinterpret_cast<const char*>(buf + done),
                       static_cast<int>(std::min<size_t>(len - done, 1 << 20)), 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        int err = n < 0 ? WSAGetLastError() : WSAECONNRESET;
        if (err == WSAEWOULDBLOCK || err == WSAEINTR) continue;
        m_error = err;
        return IoResult::Failed;
    }
    return IoResult::Ok;
}

void WinSessionSocket::close() {
    if (m_sock != ~uintptr_t(0)) closesocket(sockOf(m_sock));
    m_sock = ~uintptr_t(0);
}

void WinSessionSocket::sleepMs(uint32_t ms) { Sleep(ms); }

bool WinSessionSocket::commandBytes(const std::string& text, std::string& bytes) {
    return orv::win32::toCodePageExact(text, CP_ACP, bytes);
}

}  // namespace uplder::win32
