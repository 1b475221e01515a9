// A tiny blocking TCP client for tests: raw bytes out, raw bytes back.
#include "raw_client.h"

#include <cstdlib>
#include <thread>

namespace tarn::test {
namespace {

// The socket library is started once per test process and never released.
void ensure_socket_library() {
    static const bool started = socket_library_startup();
    (void)started;
}

}  // namespace

RawClient::~RawClient() { close(); }

RawClient::RawClient(RawClient&& other) noexcept : socket_(other.socket_) { other.socket_ = invalid_socket; }

RawClient& RawClient::operator=(RawClient&& other) noexcept {
    if (this != &other) {
        close();
        socket_ = other.socket_;
        other.socket_ = invalid_socket;
    }
    return *this;
}

bool RawClient::connect(std::uint16_t port, const std::string& host, int receive_timeout_ms) {
    ensure_socket_library();
    close();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (!parse_ipv4(host, address.sin_addr)) return false;
    socket_ = open_tcp_socket();
    if (socket_ == invalid_socket) return false;
    if (::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close();
        return false;
    }
    set_receive_timeout(socket_, receive_timeout_ms);
    set_send_timeout(socket_, 10000);
    return true;
}

bool RawClient::send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
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
    char chunk[4096];
    for (;;) {
        const long n = receive_some(socket_, chunk, sizeof chunk);
        if (n <= 0) break;
        received.append(chunk, static_cast<std::size_t>(n));
    }
    return received;
}

bool RawClient::closed_without_reply() {
    char byte;
    return receive_some(socket_, &byte, 1) == 0;
}

void RawClient::shutdown_send() {
#ifdef _WIN32
    ::shutdown(socket_, SD_SEND);
#else
    ::shutdown(socket_, SHUT_WR);
#endif
}

void RawClient::close() {
    close_socket(socket_);
    socket_ = invalid_socket;
}

RawResponse parse_raw_response(const std::string& bytes) {
    RawResponse response;
    const std::size_t blank = bytes.find("\r\n\r\n");
    if (blank == std::string::npos) return response;
    const std::string head = bytes.substr(0, blank);
    std::size_t line_end = head.find("\r\n");
    response.status_line = head.substr(0, line_end);
    if (response.status_line.size() >= 12) response.status = std::atoi(response.status_line.c_str() + 9);
    while (line_end != std::string::npos) {
        const std::size_t start = line_end + 2;
        line_end = head.find("\r\n", start);
        const std::string line = head.substr(start, line_end == std::string::npos ? std::string::npos : line_end - start);
        const std::size_t colon = line.find(": ");
        if (colon != std::string::npos) response.headers[line.substr(0, colon)] = line.substr(colon + 2);
    }
    response.body = bytes.substr(blank + 4);
    response.complete = true;
    return response;
}

std::string exchange(std::uint16_t port, const std::string& request) {
    RawClient client;
    if (!client.connect(port)) return {};
    if (!client.send(request)) return client.read_all();
    return client.read_all();
}

std::uint16_t free_port() {
    ensure_socket_library();
    const socket_t s = open_tcp_socket();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    parse_ipv4("127.0.0.1", address.sin_addr);
    std::uint16_t port = 0;
    if (bind_ipv4(s, address)) port = local_port(s);
    close_socket(s);
    return port;
}

}  // namespace tarn::test
