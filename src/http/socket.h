// The one place where the socket API of the platform shows: Winsock on
// Windows, POSIX sockets elsewhere. socket_posix.cpp and socket_win.cpp
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

#include <cstddef>
#include <cstdint>

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

// Sets the receive and send timeouts of `s`; results are ignored.
void set_socket_timeouts(socket_t s, int milliseconds);

// Shuts down the receiving side of `s` (or both sides), so that a thread
// blocked in recv or accept on it returns. Results are ignored.
void shutdown_receive(socket_t s);
void shutdown_both(socket_t s);

// One recv / send call. Returns the byte count, 0 when the peer closed, and a
// negative value on error or timeout. send never raises SIGPIPE.
long receive_some(socket_t s, char* buffer, std::size_t size);
long send_some(socket_t s, const char* data, std::size_t size);

}  // namespace tarn
