// The one place where the socket API of the platform shows: Winsock on
// Windows, POSIX sockets elsewhere. socket_posix.cpp and socket_win.cpp
// implement the calls that differ, socket.cpp those that read the same;
// CMake picks one of the platform files.
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
#include <string>
#include <vector>

namespace tarn {

#ifdef _WIN32
using socket_t = SOCKET;
constexpr socket_t invalid_socket = INVALID_SOCKET;
#else
using socket_t = int;
constexpr socket_t invalid_socket = -1;
#endif

// Closes `s` if it is valid. Safe to call with invalid_socket.
void close_socket(socket_t s);

// Owns one socket and closes it when destroyed or reset. Movable, never
// copied. Not thread-safe: one thread owns it at a time.
class Socket {
public:
    explicit Socket(socket_t s = invalid_socket) noexcept : s_(s) {}
    Socket(Socket&& other) noexcept : s_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { reset(); }

    socket_t get() const noexcept { return s_; }
    bool valid() const noexcept { return s_ != invalid_socket; }
    // Gives the handle up without closing it.
    socket_t release() noexcept {
        const socket_t s = s_;
        s_ = invalid_socket;
        return s;
    }
    // Closes the handle held, if any, and takes `s`.
    void reset(socket_t s = invalid_socket) noexcept {
        if (s_ != invalid_socket && s_ != s) close_socket(s_);
        s_ = s;
    }

private:
    socket_t s_;
};

// Starts the platform's socket library (WSAStartup 2.2 on Windows; nothing
// elsewhere). Returns false when it cannot be started. Balanced by
// socket_library_cleanup().
bool socket_library_startup();
void socket_library_cleanup();

// The error code of the calling thread's last failed socket call
// (WSAGetLastError or errno).
int last_socket_error();

// Sets the receive or send timeout of `s`; results are ignored. A value of
// 0 or less means no timeout.
void set_receive_timeout(socket_t s, int milliseconds);
void set_send_timeout(socket_t s, int milliseconds);

// Shuts down the receiving side of `s`, so that a thread blocked in recv on
// it returns (POSIX; see receive_cancellable for Winsock). Result ignored.
void shutdown_receive(socket_t s);
// Shuts down the sending side: the peer reads the end of the stream after
// what was sent. Result ignored.
void shutdown_send(socket_t s);

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

// What can be told of a connected socket's peer without waiting.
enum class PeerState {
    connected,     // nothing says it has stopped sending
    done_sending,  // the end of its stream has arrived: it half-closed, or closed
    gone,          // the connection was reset or has failed
};

// The state of the peer of connected socket `s`. Call it only once the whole
// request has been read: bytes the peer sent after it are no part of it and
// may be read and dropped.
PeerState peer_state(socket_t s);

// Waits until at least one of `sockets` can be read without blocking (data,
// the end of the stream, or an error), or `timeout_ms` has passed. Sets
// `readable[i]` for each socket that can. Returns false when the wait itself
// failed.
bool wait_readable(const std::vector<socket_t>& sockets, std::vector<bool>& readable, int timeout_ms);

// A new IPv4 TCP stream socket, or invalid_socket (cause in
// last_socket_error()).
socket_t open_tcp_socket();

// Address option of a listening socket, set before bind, so that a restart
// binds at once while a second listener on the same address and port is
// refused: SO_REUSEADDR on POSIX, where it only skips connections left in
// TIME_WAIT; nothing on Windows, whose default already ignores TIME_WAIT
// there and refuses a second listener (SO_REUSEADDR would let one share it).
// The result is ignored.
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

// One accept on listening socket `s`. Returns the new socket, with the peer's
// IPv4 address (network order) in `peer_address`, or invalid_socket with the
// cause in last_socket_error(). An accept cut short by a signal (POSIX
// EINTR) is retried, not reported.
socket_t accept_connection(socket_t s, std::uint32_t& peer_address);

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

}  // namespace tarn
