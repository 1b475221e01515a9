// A tiny blocking TCP client for tests: raw bytes out, raw bytes back.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "http/socket.h"

namespace tarn::test {

// One client connection to 127.0.0.1 (or `host`). Owns its socket.
class RawClient {
public:
    RawClient() = default;
    ~RawClient();
    RawClient(RawClient&& other) noexcept;
    RawClient& operator=(RawClient&& other) noexcept;
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Connects; false when the connection is refused or fails. Every receive
    // afterwards gives up after `receive_timeout_ms`.
    bool connect(std::uint16_t port, const std::string& host = "127.0.0.1", int receive_timeout_ms = 10000);
    bool connected() const { return socket_ != invalid_socket; }

    // Sends all of `bytes`; false when a send fails.
    bool send(const std::string& bytes);
    // Sends `bytes` in pieces of `piece_size`, pausing `pause` between them.
    bool send_in_pieces(const std::string& bytes, std::size_t piece_size, std::chrono::milliseconds pause);

    // Reads until the server closes (or the receive timeout ends the wait).
    std::string read_all();
    // True when the server closed the connection without sending anything.
    bool closed_without_reply();

    // Shuts down the sending side (the server sees the end of input).
    void shutdown_send();
    void close();

private:
    socket_t socket_ = invalid_socket;
};

// The parts of one response as it came over the wire.
struct RawResponse {
    bool complete = false;  // a status line and a header block were there
    int status = 0;
    std::string status_line;
    std::map<std::string, std::string> headers;  // names as sent
    std::string body;
};

// Splits `bytes` at the blank line; the body is everything after it.
RawResponse parse_raw_response(const std::string& bytes);

// Connects, sends `request` whole, reads until the server closes.
std::string exchange(std::uint16_t port, const std::string& request);

// A port on 127.0.0.1 that was free a moment ago.
std::uint16_t free_port();

}  // namespace tarn::test
