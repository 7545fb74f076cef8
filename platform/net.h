// TCP sockets for the debugger link and its front end: BSD sockets and
// poll on POSIX; a Winsock version (WSAStartup, ioctlsocket, WSAPoll,
// closesocket, WSACleanup) can stand behind the same functions. Kept out of
// platform.cpp so that programs without the link never link socket code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velt::platform {

// Socket handles are >= 0; -1 means none.
bool net_start();  // start socket use (WSAStartup on Windows)
void net_end();    // end socket use

// Resolves host:port (IPv4, TCP), connects without blocking and waits up to
// wait_ms for the connection. Returns the socket, in blocking mode, or -1.
int net_connect(const char* host, const char* port, int wait_ms);
// Listens on host:port (port "0" picks a free one); *bound_port gets the port.
int net_listen(const char* host, const char* port, int* bound_port);
// Waits up to timeout_ms for a connection; -1 on timeout or error.
int net_accept(int listener, int timeout_ms);

// Waits until the socket is readable (write = false) or writable: 1 ready,
// 0 time out, -1 error.
int net_wait(int sock, bool write, int timeout_ms);
// One send / recv call: bytes moved, 0 from recv when the peer closed,
// -1 on error. send never raises SIGPIPE.
long net_send(int sock, const void* data, size_t len);
long net_recv(int sock, void* data, size_t len);
void net_close(int sock);

// Milliseconds of a monotonic clock (for total deadlines).
int64_t monotonic_ms();

}  // namespace velt::platform
