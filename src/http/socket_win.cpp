// Windows Sockets 2 behind the seam of socket.h.
#include <windows.h>

#include <algorithm>
#include <chrono>

#include "http/socket.h"

namespace tarn {
namespace {

void set_timeout_option(socket_t s, int option, int milliseconds) {
    // Winsock takes the timeout as a DWORD of milliseconds; 0 means none.
    const DWORD value = milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0;
    ::setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&value), sizeof value);
}

int clamp_length(std::size_t size) { return size > 0x7fffffffu ? 0x7fffffff : static_cast<int>(size); }

}  // namespace

bool socket_library_startup() {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void socket_library_cleanup() { ::WSACleanup(); }

void close_socket(socket_t s) {
    if (s != invalid_socket) ::closesocket(s);
}

int last_socket_error() { return ::WSAGetLastError(); }

void set_receive_timeout(socket_t s, int milliseconds) { set_timeout_option(s, SO_RCVTIMEO, milliseconds); }

void set_send_timeout(socket_t s, int milliseconds) { set_timeout_option(s, SO_SNDTIMEO, milliseconds); }

void shutdown_receive(socket_t s) { ::shutdown(s, SD_RECEIVE); }

void shutdown_send(socket_t s) { ::shutdown(s, SD_SEND); }

long receive_some(socket_t s, char* buffer, std::size_t size) { return ::recv(s, buffer, clamp_length(size), 0); }

long send_some(socket_t s, const char* data, std::size_t size) { return ::send(s, data, clamp_length(size), 0); }

long receive_cancellable(socket_t s, char* buffer, std::size_t size, int timeout_ms,
                         const std::atomic<bool>& cancelled) {
    // A blocked Winsock recv is not woken by shutdown from another thread,
    // so wait in short slices and look at `cancelled` between them.
    constexpr long slice_ms = 50;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (cancelled.load()) return -1;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return -1;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval tv{};
        tv.tv_usec = static_cast<long>(std::min<long long>(left, slice_ms)) * 1000;
        const int ready = ::select(0, &readable, nullptr, nullptr, &tv);
        if (ready < 0) return -1;
        if (ready > 0) return cancelled.load() ? -1 : receive_some(s, buffer, size);
    }
}

PeerState peer_state(socket_t s) {
    // Winsock tells of the end of a stream only once the bytes before it have
    // been read, so bytes after the request are read and dropped here; a peer
    // that keeps sending is still connected. A reset shows as an error of
    // the poll (Wine reports no error from recv once the end of the stream
    // was read, only there).
    for (int round = 0; round < 16; ++round) {
        WSAPOLLFD entry{s, POLLRDNORM, 0};
        const int ready = ::WSAPoll(&entry, 1, 0);
        if (ready < 0 || (entry.revents & (POLLERR | POLLNVAL)) != 0) return PeerState::gone;
        if (ready == 0) return PeerState::connected;
        char chunk[4096];
        const int n = ::recv(s, chunk, sizeof chunk, 0);  // does not block once the poll said readable
        if (n == 0) return PeerState::done_sending;
        if (n < 0) return ::WSAGetLastError() == WSAEWOULDBLOCK ? PeerState::connected : PeerState::gone;
    }
    return PeerState::connected;
}

bool wait_readable(const std::vector<socket_t>& sockets, std::vector<bool>& readable, int timeout_ms) {
    std::vector<WSAPOLLFD> entries;
    entries.reserve(sockets.size());
    for (socket_t s : sockets) entries.push_back(WSAPOLLFD{s, POLLRDNORM, 0});
    readable.assign(sockets.size(), false);
    if (entries.empty()) {
        ::Sleep(static_cast<DWORD>(timeout_ms));
        return true;
    }
    const int ready = ::WSAPoll(entries.data(), static_cast<ULONG>(entries.size()), timeout_ms);
    if (ready < 0) return false;
    for (std::size_t i = 0; i < entries.size(); ++i) readable[i] = entries[i].revents != 0;
    return true;
}

void set_listen_address_options(socket_t) {}

socket_t accept_connection(socket_t s, std::uint32_t& peer_address) {
    sockaddr_in peer{};
    int length = sizeof peer;
    const socket_t client = ::accept(s, reinterpret_cast<sockaddr*>(&peer), &length);
    if (client != invalid_socket) peer_address = peer.sin_addr.s_addr;
    return client;
}

bool accept_error_ends_loop(int code) { return code == WSAEINTR || code == WSAENOTSOCK; }

bool stop_listening(socket_t s) {
    // Only closesocket makes a blocked accept return (with WSAEINTR).
    ::closesocket(s);
    return true;
}

}  // namespace tarn
