// Windows Sockets 2 behind the seam of socket.h.
#include "http/socket.h"

#include <windows.h>
#include <process.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

namespace tarn {
namespace {

void set_timeout_option(socket_t s, int option, int milliseconds) {
    // Winsock takes the timeout as a DWORD of milliseconds; 0 means none.
    const DWORD value = milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0;
    ::setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&value), sizeof value);
}

int clamp_length(std::size_t size) {
    return size > 0x7fffffffu ? 0x7fffffff : static_cast<int>(size);
}

unsigned __stdcall run_thread_body(void* argument) {
    const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    (*body)();
    return 0;
}

std::atomic<int> thread_starts_to_fail{0};

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

void set_socket_timeouts(socket_t s, int milliseconds) {
    set_receive_timeout(s, milliseconds);
    set_send_timeout(s, milliseconds);
}

void set_receive_timeout(socket_t s, int milliseconds) { set_timeout_option(s, SO_RCVTIMEO, milliseconds); }

void set_send_timeout(socket_t s, int milliseconds) { set_timeout_option(s, SO_SNDTIMEO, milliseconds); }

void shutdown_receive(socket_t s) { ::shutdown(s, SD_RECEIVE); }

void shutdown_both(socket_t s) { ::shutdown(s, SD_BOTH); }

long receive_some(socket_t s, char* buffer, std::size_t size) {
    return ::recv(s, buffer, clamp_length(size), 0);
}

long send_some(socket_t s, const char* data, std::size_t size) {
    return ::send(s, data, clamp_length(size), 0);
}

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

void set_listen_address_options(socket_t s) {
    BOOL on = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
}

socket_t accept_connection(socket_t s) {
    sockaddr_in peer{};
    int length = sizeof peer;
    return ::accept(s, reinterpret_cast<sockaddr*>(&peer), &length);
}

bool accept_error_ends_loop(int code) { return code == WSAEINTR || code == WSAENOTSOCK; }

bool stop_listening(socket_t s) {
    // Only closesocket makes a blocked accept return (with WSAEINTR).
    ::closesocket(s);
    return true;
}

bool start_detached_thread(std::function<void()> body, std::size_t stack_bytes, std::string& error) {
    if (thread_starts_to_fail.load() > 0 && thread_starts_to_fail.fetch_sub(1) > 0) {
        error = "injected failure";
        return false;
    }
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    // _beginthreadex, not CreateThread, so that the C runtime is set up for
    // the thread; the size is the reservation, committed as it is used.
    const std::uintptr_t handle = ::_beginthreadex(nullptr, static_cast<unsigned>(stack_bytes), run_thread_body,
                                                   owned.get(), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (handle == 0) {
        error = std::string("_beginthreadex: ") + std::strerror(errno);
        return false;
    }
    owned.release();  // the thread owns it now
    ::CloseHandle(reinterpret_cast<HANDLE>(handle));
    return true;
}

void fail_next_thread_starts(int count) { thread_starts_to_fail = count; }

}  // namespace tarn
