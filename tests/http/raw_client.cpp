// A tiny blocking TCP client for tests: raw bytes out, raw bytes back.
#include "raw_client.h"

#include <cstdlib>
#include <thread>
#include <utility>

namespace tarn::test {
namespace {

// The socket library is started once per test process and never released.
void ensure_socket_library() { static const bool started [[maybe_unused]] = socket_library_startup(); }

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    parse_ipv4("127.0.0.1", address.sin_addr);
    return address;
}

}  // namespace

RawClient::~RawClient() { close(); }

RawClient::RawClient(RawClient&& other) noexcept : socket_(std::exchange(other.socket_, invalid_socket)) {}

// The socket this one held goes to `other`, which closes it in its turn.
RawClient& RawClient::operator=(RawClient&& other) noexcept {
    std::swap(socket_, other.socket_);
    return *this;
}

bool RawClient::connect(std::uint16_t port, const std::string& host, int receive_timeout_ms) {
    ensure_socket_library();
    close();
    sockaddr_in address = loopback(port);
    if (!parse_ipv4(host, address.sin_addr)) return false;
    socket_ = open_tcp_socket();
    if (socket_ == invalid_socket ||
        ::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close();
        return false;
    }
    set_receive_timeout(socket_, receive_timeout_ms);
    set_send_timeout(socket_, 10000);
    return true;
}

bool RawClient::send(const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const long n = send_some(socket_, bytes.data() + sent, bytes.size() - sent);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool RawClient::send_in_pieces(const std::string& bytes, std::size_t piece_size, std::chrono::milliseconds pause) {
    for (std::size_t at = 0; at < bytes.size(); at += piece_size) {
        if (at > 0) std::this_thread::sleep_for(pause);
        if (!send(bytes.substr(at, piece_size))) return false;
    }
    return true;
}

std::string RawClient::read_all() {
    std::string received;
    char buf[4096];
    for (long n; (n = receive_some(socket_, buf, sizeof buf)) > 0;) received.append(buf, static_cast<std::size_t>(n));
    return received;
}

bool RawClient::closed_without_reply() {
    char byte;
    return receive_some(socket_, &byte, 1) == 0;
}

// 1 is SHUT_WR on POSIX and SD_SEND in Winsock.
void RawClient::shutdown_send() { ::shutdown(socket_, 1); }

void RawClient::close() { close_socket(std::exchange(socket_, invalid_socket)); }

RawResponse parse_raw_response(const std::string& bytes) {
    RawResponse response;
    const std::size_t blank = bytes.find("\r\n\r\n");
    if (blank == std::string::npos) return response;
    const std::size_t first_end = bytes.find("\r\n");
    response.status_line = bytes.substr(0, first_end);
    for (std::size_t at = first_end + 2, end; at < blank + 2; at = end + 2) {
        end = bytes.find("\r\n", at);
        const std::size_t colon = bytes.find(": ", at);
        if (colon < end) response.headers[bytes.substr(at, colon - at)] = bytes.substr(colon + 2, end - colon - 2);
    }
    if (response.status_line.size() >= 12) response.status = std::atoi(response.status_line.c_str() + 9);
    response.body = bytes.substr(blank + 4);
    response.complete = true;
    return response;
}

std::string exchange(std::uint16_t port, const std::string& request) {
    RawClient client;
    if (!client.connect(port)) return {};
    client.send(request);
    return client.read_all();
}

std::uint16_t free_port() {
    ensure_socket_library();
    const socket_t s = open_tcp_socket();
    const std::uint16_t port = bind_ipv4(s, loopback(0)) ? local_port(s) : 0;
    close_socket(s);
    return port;
}

}  // namespace tarn::test
