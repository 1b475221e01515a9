// A tiny blocking TCP client for tests: raw bytes out, raw bytes back.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "http/socket.h"

namespace tarn::test {

// One client connection to 127.0.0.1. Owns its socket.
class RawClient {
public:
    // Connects from `from` (a loopback address such as 127.0.0.2; empty for
    // the system's choice); false when that fails. Every receive afterwards
    // gives up after `receive_timeout_ms`.
    bool connect(std::uint16_t port, const std::string& from = "", int receive_timeout_ms = 60000);
    // Sends all of `bytes`; false when a send fails.
    bool send(const std::string& bytes);
    // Reads until the server closes (or the receive timeout ends the wait).
    std::string read_all();
    // True when the server closed the connection without sending anything.
    bool closed_without_reply();
    void close() { socket_.reset(); }

private:
    Socket socket_;
};

// The parts of one response as it came over the wire.
struct RawResponse {
    int status = 0;                              // 0 when no status line came
    std::map<std::string, std::string> headers;  // names as sent
    std::string body;
};

// Splits `bytes` at the blank line; the body is everything after it.
RawResponse parse_raw_response(const std::string& bytes);

// Connects (from `from` when given), sends `request` whole, reads until the
// server closes.
std::string exchange(std::uint16_t port, const std::string& request, const std::string& from = "");

// A port that was free a moment ago, outside the range the system hands
// out for client connections.
std::uint16_t free_port();

}  // namespace tarn::test
