// POSIX sockets behind the seam of socket.h.
#include "http/socket.h"

#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

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

extern "C" void* run_thread_body(void* argument) {
    const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    (*body)();
    return nullptr;
}

std::atomic<int> thread_starts_to_fail{0};

}  // namespace

bool socket_library_startup() { return true; }

void socket_library_cleanup() {}

void close_socket(socket_t s) {
    if (s != invalid_socket) ::close(s);
}

int last_socket_error() { return errno; }

void set_socket_timeouts(socket_t s, int milliseconds) {
    set_receive_timeout(s, milliseconds);
    set_send_timeout(s, milliseconds);
}

void set_receive_timeout(socket_t s, int milliseconds) { set_timeout_option(s, SO_RCVTIMEO, milliseconds); }

void set_send_timeout(socket_t s, int milliseconds) { set_timeout_option(s, SO_SNDTIMEO, milliseconds); }

void shutdown_receive(socket_t s) { ::shutdown(s, SHUT_RD); }

void shutdown_both(socket_t s) { ::shutdown(s, SHUT_RDWR); }

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

void set_listen_address_options(socket_t s) {
    int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

socket_t accept_connection(socket_t s) {
    for (;;) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const socket_t client = ::accept(s, reinterpret_cast<sockaddr*>(&peer), &length);
        if (client >= 0 || errno != EINTR) return client < 0 ? invalid_socket : client;
    }
}

bool accept_error_ends_loop(int code) { return code == EBADF || code == ENOTSOCK || code == EINVAL; }

bool stop_listening(socket_t s) {
    // close() alone leaves a thread blocked in accept asleep on Linux;
    // shutdown wakes it with EINVAL, and later accepts fail the same way.
    ::shutdown(s, SHUT_RDWR);
    return false;
}

bool start_detached_thread(std::function<void()> body, std::size_t stack_bytes, std::string& error) {
    if (thread_starts_to_fail.load() > 0 && thread_starts_to_fail.fetch_sub(1) > 0) {
        error = "injected failure";
        return false;
    }
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    pthread_attr_t attributes;
    int rc = pthread_attr_init(&attributes);
    if (rc == 0) {
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attributes, stack_bytes);
        pthread_t thread;
        rc = pthread_create(&thread, &attributes, run_thread_body, owned.get());
        pthread_attr_destroy(&attributes);
    }
    if (rc != 0) {
        error = std::string("pthread_create: ") + std::strerror(rc);
        return false;
    }
    owned.release();  // the thread owns it now
    return true;
}

void fail_next_thread_starts(int count) { thread_starts_to_fail = count; }

}  // namespace tarn
