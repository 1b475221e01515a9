// A tiny blocking TCP client for tests: raw bytes out, raw bytes back.
#include "raw_client.h"

#include <atomic>
#include <cstdlib>
#include <random>

namespace tarn::test {
namespace {

// The socket library is started once per test process and never released.
void ensure_socket_library() { static const bool started [[maybe_unused]] = socket_library_startup(); }

sockaddr_in ipv4(const std::string& host, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    parse_ipv4(host, address.sin_addr);
    return address;
}

}  // namespace

bool RawClient::connect(std::uint16_t port, const std::string& from, int receive_timeout_ms) {
    ensure_socket_library();
    socket_.reset(open_tcp_socket());
    const sockaddr_in target = ipv4("127.0.0.1", port);
    if (!socket_.valid() || (!from.empty() && !bind_ipv4(socket_.get(), ipv4(from, 0))) ||
        ::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        socket_.reset();
        return false;
    }
    set_receive_timeout(socket_.get(), receive_timeout_ms);
    set_send_timeout(socket_.get(), 10000);
    return true;
}

bool RawClient::send(const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const long n = send_some(socket_.get(), bytes.data() + sent, bytes.size() - sent);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::string RawClient::read_all() {
    std::string received;
    char buf[4096];
    for (long n; (n = receive_some(socket_.get(), buf, sizeof buf)) > 0;) {
        received.append(buf, static_cast<std::size_t>(n));
    }
    return received;
}

bool RawClient::closed_without_reply() {
    char byte;
    return receive_some(socket_.get(), &byte, 1) == 0;
}

RawResponse parse_raw_response(const std::string& bytes) {
    RawResponse response;
    const std::size_t blank = bytes.find("\r\n\r\n");
    if (blank == std::string::npos || bytes.rfind("HTTP/1.1 ", 0) != 0) return response;
    response.status = std::atoi(bytes.c_str() + 9);
    for (std::size_t at = bytes.find("\r\n") + 2, end; at < blank + 2; at = end + 2) {
        end = bytes.find("\r\n", at);
        const std::size_t colon = bytes.find(": ", at);
        if (colon < end) response.headers[bytes.substr(at, colon - at)] = bytes.substr(colon + 2, end - colon - 2);
    }
    response.body = bytes.substr(blank + 4);
    return response;
}

std::string exchange(std::uint16_t port, const std::string& request, const std::string& from) {
    RawClient client;
    if (!client.connect(port, from)) return {};
    client.send(request);
    return client.read_all();
}

// Below the systems' ephemeral ranges (Linux from 32768, Windows from
// 49152): a port the system chose could be handed to a client connection of
// a test running alongside before the server that wants it binds it.
std::uint16_t free_port() {
    ensure_socket_library();
    static std::atomic<unsigned> next{20000u + static_cast<unsigned>(std::random_device{}() % 12000u)};
    for (int tries = 0; tries < 1000; ++tries) {
        const auto port = static_cast<std::uint16_t>(20000u + next++ % 12000u);
        const Socket s(open_tcp_socket());
        if (bind_ipv4(s.get(), ipv4("0.0.0.0", port))) return port;
    }
    return 0;
}

}  // namespace tarn::test
