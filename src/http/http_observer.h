// What an HTTP server tells of its work as it goes, for whoever counts it.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarn {

// Why a connection or a request was turned away with 503 "server busy".
enum class HttpRefusal {
    server_busy,   // the server serves as many connections as it may
    address_busy,  // so it does for the client's address
    memory_busy,   // the body does not fit the budget, or memory ran out
};

// Called on the server's threads, several at once; each call must be quick.
// The observer must outlive the server.
class HttpObserver {
public:
    virtual ~HttpObserver() = default;
    // A final reply with `status` was sent (or its sending began) for a
    // request to `path`; `path` is empty when no request line was read.
    virtual void replied(std::string_view path, int status) noexcept = 0;
    virtual void refused(HttpRefusal why) noexcept = 0;
    // A connection was taken to be served, and was closed.
    virtual void connection_opened() noexcept = 0;
    virtual void connection_closed() noexcept = 0;
    // A request body of `bytes` was received (as framed on the wire, before
    // it is inflated).
    virtual void body_received(std::size_t bytes) noexcept = 0;
};

}  // namespace tarn
