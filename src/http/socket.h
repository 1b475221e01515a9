// The one place where the socket API of the platform shows: Winsock on
// Windows, POSIX sockets elsewhere (and the thread start the server needs). socket_posix.cpp and socket_win.cpp
// implement the functions; CMake picks one.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#endif

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tarn {

#ifdef _WIN32
using socket_t = SOCKET;
constexpr socket_t invalid_socket = INVALID_SOCKET;
#else
using socket_t = int;
constexpr socket_t invalid_socket = -1;
#endif

// Starts the platform's socket library (WSAStartup 2.2 on Windows; nothing
// elsewhere). Returns false when it cannot be started. Balanced by
// socket_library_cleanup().
bool socket_library_startup();
void socket_library_cleanup();

// Closes `s` if it is valid. Safe to call with invalid_socket.
void close_socket(socket_t s);

// The error code of the calling thread's last failed socket call
// (WSAGetLastError or errno).
int last_socket_error();

// Sets the receive and send timeouts of `s`; results are ignored. A value of
// 0 or less means no timeout.
void set_socket_timeouts(socket_t s, int milliseconds);
void set_receive_timeout(socket_t s, int milliseconds);
void set_send_timeout(socket_t s, int milliseconds);

// Shuts down the receiving side of `s` (or both sides), so that a thread
// blocked in recv on it returns. Results are ignored.
void shutdown_receive(socket_t s);
void shutdown_both(socket_t s);

// One recv / send call. Returns the byte count, 0 when the peer closed, and a
// negative value on error or timeout. send never raises SIGPIPE.
long receive_some(socket_t s, char* buffer, std::size_t size);
long send_some(socket_t s, const char* data, std::size_t size);

// One recv that another thread can cut short: it also ends, with a negative
// result, when `cancelled` is set and the receive side of `s` is shut down
// (shutdown_receive) in that order. Waits at most `timeout_ms`. On POSIX the
// shutdown alone wakes a blocked recv; Winsock does not, so there the wait
// is a select loop that looks at `cancelled` every 50 ms.
long receive_cancellable(socket_t s, char* buffer, std::size_t size, int timeout_ms,
                         const std::atomic<bool>& cancelled);

// A new IPv4 TCP stream socket, or invalid_socket (cause in
// last_socket_error()).
socket_t open_tcp_socket();

// Address-reuse option of a listening socket, set before bind: SO_REUSEADDR
// on POSIX, where it only skips TIME_WAIT leftovers; SO_EXCLUSIVEADDRUSE on
// Windows, where SO_REUSEADDR would let a second socket take a port that is
// already listening. The result is ignored.
void set_listen_address_options(socket_t s);

// Fills `address` for `text` with dotted-decimal IPv4 only (no host names).
// Returns false when `text` is not such an address.
bool parse_ipv4(const std::string& text, in_addr& address);

// bind and listen (backlog SOMAXCONN). Return false on failure, with the
// cause in last_socket_error().
bool bind_ipv4(socket_t s, const sockaddr_in& address);
bool listen_max(socket_t s);

// The local port `s` is bound to, in host order; 0 when it cannot be read.
std::uint16_t local_port(socket_t s);

// One accept on listening socket `s`. Returns the new socket, or
// invalid_socket with the cause in last_socket_error(). An accept cut short
// by a signal (POSIX EINTR) is retried, not reported.
socket_t accept_connection(socket_t s);

// True when accept's error `code` means the listening socket is closed,
// invalid or was cancelled, so that the accept loop must end (WSAEINTR and
// WSAENOTSOCK on Windows; EBADF, ENOTSOCK and EINVAL on POSIX).
bool accept_error_ends_loop(int code);

// Makes a thread blocked in accept on listening socket `s` return, and every
// later accept on it fail. Returns true when that already closed `s`
// (Windows: only closing wakes accept); false when `s` is still open and is
// to be closed once the accept thread has ended (POSIX: a shut-down listener
// stays a valid descriptor, so no other socket can take its number while the
// accept thread may still use it).
bool stop_listening(socket_t s);

// Starts a detached thread that runs `body` on a stack of `stack_bytes`.
// Returns false when the thread cannot be created, with the reason in
// `error`; `body` is then not run. An exception escaping `body` ends the
// process, as with std::thread.
bool start_detached_thread(std::function<void()> body, std::size_t stack_bytes, std::string& error);

// For tests of the failure path: the next `count` calls of
// start_detached_thread fail with the reason "injected failure".
void fail_next_thread_starts(int count);

}  // namespace tarn
