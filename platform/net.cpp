// TCP sockets over BSD sockets and poll (see net.h).
#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace velt::platform {

bool net_start() { return true; }
void net_end() {}

namespace {

bool set_blocking(int sock, bool blocking) {
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags < 0) return false;
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(sock, F_SETFL, flags) == 0;
}

addrinfo* resolve(const char* host, const char* port, bool passive) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    if (passive) hints.ai_flags = AI_PASSIVE;
    addrinfo* res = nullptr;
    if (getaddrinfo(host, port, &hints, &res) != 0) return nullptr;
    return res;
}

}  // namespace

int net_connect(const char* host, const char* port, int wait_ms) {
    addrinfo* res = resolve(host, port, false);
    if (!res) return -1;
    int sock = socket(res->ai_family, res->ai_socktype, res->ai_protocol);
    if (sock < 0) {
        freeaddrinfo(res);
        return -1;
    }
    bool ok = set_blocking(sock, false);
    if (ok) {
        int rc = connect(sock, res->ai_addr, res->ai_addrlen);
        ok = rc == 0 || errno == EINPROGRESS || errno == EWOULDBLOCK;
    }
    freeaddrinfo(res);
    ok = ok && set_blocking(sock, true) && net_wait(sock, true, wait_ms) == 1;
    if (ok) {
        // Writable also reports a refused connection: ask how it ended.
        int err = 0;
        socklen_t len = sizeof err;
        ok = getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
    if (!ok) {
        close(sock);
        return -1;
    }
    return sock;
}

int net_listen(const char* host, const char* port, int* bound_port) {
    addrinfo* res = resolve(host, port, true);
    if (!res) return -1;
    int sock = socket(res->ai_family, res->ai_socktype, res->ai_protocol);
    if (sock < 0) {
        freeaddrinfo(res);
        return -1;
    }
    int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    bool ok = bind(sock, res->ai_addr, res->ai_addrlen) == 0 && listen(sock, 4) == 0;
    freeaddrinfo(res);
    if (ok && bound_port) {
        sockaddr_in sin{};
        socklen_t len = sizeof sin;
        ok = getsockname(sock, reinterpret_cast<sockaddr*>(&sin), &len) == 0;
        *bound_port = ntohs(sin.sin_port);
    }
    if (!ok) {
        close(sock);
        return -1;
    }
    return sock;
}

int net_accept(int listener, int timeout_ms) {
    if (net_wait(listener, false, timeout_ms) != 1) return -1;
    return accept(listener, nullptr, nullptr);
}

int net_wait(int sock, bool write, int timeout_ms) {
    pollfd p{};
    p.fd = sock;
    p.events = write ? POLLOUT : POLLIN;
    for (;;) {
        int rc = poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return -1;
        if (rc == 0) return 0;
        if (p.revents & POLLNVAL) return -1;
        // POLLHUP / POLLERR: the following recv or send tells what happened.
        return 1;
    }
}

long net_send(int sock, const void* data, size_t len) {
    for (;;) {
        ssize_t n = send(sock, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : static_cast<long>(n);
    }
}

long net_recv(int sock, void* data, size_t len) {
    for (;;) {
        ssize_t n = recv(sock, data, len, 0);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : static_cast<long>(n);
    }
}

void net_close(int sock) {
    if (sock >= 0) close(sock);
}

int64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace velt::platform
