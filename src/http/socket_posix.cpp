// POSIX sockets behind the seam of socket.h.
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "http/socket.h"

namespace tarn {
namespace {

void set_timeout_option(socket_t s, int option, int milliseconds) {
    timeval tv{};
    if (milliseconds > 0) {
        tv.tv_sec = milliseconds / 1000;
        tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    }
    ::setsockopt(s, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

bool socket_library_startup() { return true; }

void socket_library_cleanup() {}

void close_socket(socket_t s) {
    if (s != invalid_socket) ::close(s);
}

int last_socket_error() { return errno; }

void set_receive_timeout(socket_t s, int milliseconds) { set_timeout_option(s, SO_RCVTIMEO, milliseconds); }

void set_send_timeout(socket_t s, int milliseconds) { set_timeout_option(s, SO_SNDTIMEO, milliseconds); }

void shutdown_receive(socket_t s) { ::shutdown(s, SHUT_RD); }

void shutdown_send(socket_t s) { ::shutdown(s, SHUT_WR); }

long receive_some(socket_t s, char* buffer, std::size_t size) {
    ssize_t n;
    do {
        n = ::recv(s, buffer, size, 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

long send_some(socket_t s, const char* data, std::size_t size) {
    ssize_t n;
    do {
        n = ::send(s, data, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

long receive_cancellable(socket_t s, char* buffer, std::size_t size, int /*timeout_ms*/,
                         const std::atomic<bool>& /*cancelled*/) {
    // SO_RCVTIMEO bounds the wait; shutdown(SHUT_RD) ends it at once, and a
    // recv begun after the shutdown returns 0 straight away.
    return receive_some(s, buffer, size);
}

PeerState peer_state(socket_t s) {
    pollfd entry{s, POLLIN | POLLRDHUP, 0};
    if (::poll(&entry, 1, 0) <= 0) return PeerState::connected;
    // A reset (or another failure) shows as an error and a hang-up of both
    // directions; the peer's FIN alone as the hang-up of its sending side.
    if ((entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return PeerState::gone;
    if ((entry.revents & POLLRDHUP) != 0) return PeerState::done_sending;
    char byte;
    const ssize_t n = ::recv(s, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return PeerState::done_sending;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return PeerState::gone;
    return PeerState::connected;
}

bool wait_readable(const std::vector<socket_t>& sockets, std::vector<bool>& readable, int timeout_ms) {
    std::vector<pollfd> entries;
    entries.reserve(sockets.size());
    for (socket_t s : sockets) entries.push_back(pollfd{s, POLLIN, 0});
    readable.assign(sockets.size(), false);
    const int ready = ::poll(entries.data(), entries.size(), timeout_ms);
    if (ready < 0) return errno == EINTR;
    for (std::size_t i = 0; i < entries.size(); ++i) readable[i] = entries[i].revents != 0;
    return true;
}

void set_listen_address_options(socket_t s) {
    int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

socket_t accept_connection(socket_t s, std::uint32_t& peer_address) {
    for (;;) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const socket_t client = ::accept(s, reinterpret_cast<sockaddr*>(&peer), &length);
        if (client >= 0) {
            peer_address = peer.sin_addr.s_addr;
            return client;
        }
        if (errno != EINTR) return invalid_socket;
    }
}

bool accept_error_ends_loop(int code) { return code == EBADF || code == ENOTSOCK || code == EINVAL; }

bool stop_listening(socket_t s) {
    // close() alone leaves a thread blocked in accept asleep on Linux;
    // shutdown wakes it with EINVAL, and later accepts fail the same way.
    ::shutdown(s, SHUT_RDWR);
    return false;
}

}  // namespace tarn
