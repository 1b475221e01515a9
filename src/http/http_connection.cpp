// The connection routine: read one request, call the handler, reply, close.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <new>

#include "http/chunked_body.h"
#include "http/gzip_body.h"
#include "http/http_server.h"
#include "log/log.h"

namespace tarn {
namespace {

// The header block ends at the first blank line.
constexpr char header_end[] = "\r\n\r\n";
constexpr std::size_t header_end_size = 4;
constexpr std::size_t header_read_bytes = 2048;
constexpr std::size_t body_read_bytes = 16384;

constexpr char continue_reply[] = "HTTP/1.1 100 Continue\r\n\r\n";

// The 503 of a connection that failed on its way (memory ran out, say),
// ready-made: building a reply could fail the same way.
constexpr char connection_failed_reply[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: 23\r\n"
    "Connection: close\r\n\r\n{\"error\":\"server busy\"}";

HttpResponse error_reply(std::int32_t status, const char* body) {
    HttpResponse response;
    response.status = status;
    response.body = body;
    return response;
}

HttpResponse server_busy() { return error_reply(503, "{\"error\":\"server busy\"}"); }

// Room for `more` bytes in `body`, grown at least twofold but never past
// `most`: a body announced as 4 MiB takes no more than that, and one that
// never comes takes only what came.
void make_room(std::string& body, std::size_t more, std::size_t most) {
    const std::size_t needed = body.size() + more;
    if (needed > body.capacity()) body.reserve(std::min(std::max(needed, body.capacity() * 2), std::max(needed, most)));
}

}  // namespace

bool HttpServer::read_header_block(Connection& connection, std::string& buffer, std::size_t& marker) {
    const socket_t s = connection.socket.get();
    const Clock::time_point deadline = connection.accepted_at + std::chrono::milliseconds(timeouts_.header_deadline_ms);
    int receive_timeout = timeouts_.receive_ms;
    for (;;) {
        if (buffer.size() >= header_end_size) {
            // Only the last bytes can complete a marker not found before.
            const std::size_t from = buffer.size() > header_read_bytes + header_end_size
                                         ? buffer.size() - header_read_bytes - header_end_size
                                         : 0;
            marker = buffer.find(header_end, from, header_end_size);
            if (marker != std::string::npos) break;
        }
        // The whole block is due by the header deadline: no single receive
        // may wait past it.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        const int wanted =
            static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), timeouts_.receive_ms));
        if (wanted < receive_timeout) {
            set_receive_timeout(s, wanted);
            receive_timeout = wanted;
        }
        char chunk[header_read_bytes];
        const long n = receive_cancellable(s, chunk, sizeof chunk, receive_timeout, connection.cut_off);
        if (n <= 0) return false;
        buffer.append(chunk, static_cast<std::size_t>(n));
        if (buffer.size() >= http_header_limit_bytes) return false;
    }
    if (receive_timeout != timeouts_.receive_ms) set_receive_timeout(s, timeouts_.receive_ms);
    return true;
}

std::optional<HttpResponse> HttpServer::read_body(Connection& connection, const RequestFraming& framing,
                                                  std::string& body, BodyReservation& reservation) {
    const socket_t s = connection.socket.get();
    // A body cut off by a stop was not refused: the client may send it again.
    const auto ended_early = [&connection] {
        return connection.cut_off ? error_reply(503, "{\"error\":\"server stopping\"}")
                                  : error_reply(400, "{\"error\":\"short body\"}");
    };
    if (!framing.chunked) {
        // Whatever came with the header block stays, even beyond the
        // announced length; the length itself was taken from the budget.
        while (body.size() < framing.content_length) {
            const std::size_t want = std::min<std::size_t>(framing.content_length - body.size(), body_read_bytes);
            make_room(body, want, framing.content_length);
            const std::size_t old_size = body.size();
            body.resize(old_size + want);
            const long n = receive_cancellable(s, &body[old_size], want, timeouts_.receive_ms, connection.cut_off);
            body.resize(old_size + static_cast<std::size_t>(std::max(n, 0L)));
            if (n <= 0) return ended_early();
        }
        return std::nullopt;
    }

    ChunkedDecoder decoder(http_max_body_bytes);
    std::string input = std::move(body);
    body.clear();
    for (;;) {
        const ChunkedDecoder::Status status = decoder.feed(input, body);
        if (status == ChunkedDecoder::Status::malformed) return error_reply(400, "{\"error\":\"bad chunked body\"}");
        if (status == ChunkedDecoder::Status::too_large) return error_reply(413, "{\"error\":\"payload too large\"}");
        if (!reservation.hold(body.size())) return body_budget_refusal();
        if (status == ChunkedDecoder::Status::done) return std::nullopt;
        input.resize(body_read_bytes);
        const long n = receive_cancellable(s, input.data(), input.size(), timeouts_.receive_ms, connection.cut_off);
        if (n <= 0) return ended_early();
        input.resize(static_cast<std::size_t>(n));
    }
}

std::optional<HttpResponse> HttpServer::inflate_body(std::string& body, BodyReservation& reservation) {
    BodyReservation inflated_reservation(*body_budget_);
    std::string inflated;
    const InflateResult result = inflate_gzip(
        body, http_max_body_bytes,
        [&inflated_reservation](std::size_t bytes) { return inflated_reservation.hold(bytes); }, inflated);
    switch (result) {
        case InflateResult::inflated: break;
        case InflateResult::too_large: return error_reply(413, "{\"error\":\"payload too large\"}");
        case InflateResult::corrupt: return error_reply(400, "{\"error\":\"bad gzip body\"}");
        case InflateResult::no_memory: return body_budget_refusal();
    }
    body = std::move(inflated);
    // The compressed bytes are gone; what is held now is the inflated body.
    reservation = std::move(inflated_reservation);
    return std::nullopt;
}

HttpResponse HttpServer::body_budget_refusal() {
    if (observer_ != nullptr) observer_->refused(HttpRefusal::memory_busy);
    if (!body_budget_refusal_logged_.exchange(true)) {
        Log::write(LogLevel::Warn, "http: request bodies hold %zu of %zu bytes, refusing more with 503",
                   body_budget_->in_use(), body_budget_->limit());
    }
    return server_busy();
}

std::optional<HttpResponse> HttpServer::serve(Connections::iterator connection, std::string& path, bool& early) {
    const socket_t s = connection->socket.get();
    // 1. The header block; nothing is answered before it is complete.
    std::string buffer;
    std::size_t marker = 0;
    if (!read_header_block(*connection, buffer, marker)) return std::nullopt;

    // 2. Request line and header lines, then the look at the head: whatever
    // is answered now is answered without reading the body.
    early = true;
    HttpRequest request;
    RequestFraming framing;
    const HeadError head_error = parse_request_head(std::string_view(buffer).substr(0, marker), request, framing);
    path = request.path;
    if (head_error != HeadError::none) return head_error_reply(head_error);
    if (check_head_) {
        if (std::optional<HttpResponse> reply = check_head_(request)) return reply;
    }
    if (framing.content_coding == ContentCoding::unsupported) {
        return error_reply(415, "{\"error\":\"unsupported content encoding\"}");
    }
    BodyReservation reservation(*body_budget_);
    if (!reservation.hold(framing.content_length)) return body_budget_refusal();
    if (framing.content_length > 0) body_budget_refusal_logged_ = false;

    // 3. The body, once the client has its go-ahead if it waits for one.
    if (framing.expect_continue) send_all(s, continue_reply);
    std::string& body = request.body;
    if (framing.chunked || framing.content_length > 0) {
        body.assign(buffer, marker + header_end_size, std::string::npos);
        if (std::optional<HttpResponse> reply = read_body(*connection, framing, body, reservation)) return reply;
        if (observer_ != nullptr) observer_->body_received(body.size());
        if (framing.content_coding == ContentCoding::gzip) {
            if (std::optional<HttpResponse> reply = inflate_body(body, reservation)) return reply;
        }
    }
    buffer.clear();
    buffer.shrink_to_fit();
    early = false;

    // 4. Dispatch; only the handler call is guarded here. A client whose
    // stream has ended may still read its reply (it half-closed): only once
    // its request has waited as long as a gateway waits does it count as
    // gone.
    const Clock::time_point complete_at = Clock::now();
    const auto patience = std::chrono::milliseconds(timeouts_.half_close_patience_ms);
    request.client_gone = [s, complete_at, patience] {
        switch (peer_state(s)) {
            case PeerState::connected: return false;
            case PeerState::done_sending: return Clock::now() - complete_at >= patience;
            case PeerState::gone: return true;
        }
        return true;
    };
    enter_handler(connection);
    try {
        return handler_(request);
    } catch (const std::bad_alloc&) {
        Log::write(LogLevel::Error, "http: handler ran out of memory");
        if (observer_ != nullptr) observer_->refused(HttpRefusal::memory_busy);
        return server_busy();
    } catch (const std::exception& e) {
        Log::write(LogLevel::Error, "http: handler exception: %s", e.what());
    } catch (...) {
        Log::write(LogLevel::Error, "http: handler threw non-std exception");
    }
    return error_reply(500, "{\"error\":\"internal error\"}");
}

void HttpServer::handle_connection(Connections::iterator connection) {
    // Closes the socket and unregisters on every path, exactly once; early
    // replies end with a lingering close, so that the client reads them.
    struct Finish {
        HttpServer* server;
        Connections::iterator connection;
        bool linger = false;
        ~Finish() { server->finish_connection(connection, linger); }
    } finish{this, connection};
    const socket_t s = connection->socket.get();
    std::string path;
    const auto failed = [&](const char* what, bool out_of_memory) {
        Log::write(LogLevel::Error, "http: connection failed: %s", what);
        if (observer_ != nullptr) {
            if (out_of_memory) observer_->refused(HttpRefusal::memory_busy);
            observer_->replied(path, 503);
        }
        send_all(s, connection_failed_reply);
        finish.linger = true;
    };
    try {
        if (std::optional<HttpResponse> response = serve(connection, path, finish.linger)) {
            // Built whole before the first byte goes out, so that a failure
            // to build it can still be answered.
            const std::string message = serialize_response(*response);
            if (observer_ != nullptr) observer_->replied(path, response->status);
            send_all(s, message);
        }
    } catch (const std::bad_alloc& e) {
        failed(e.what(), true);
    } catch (const std::exception& e) {
        failed(e.what(), false);
    } catch (...) {
        failed("non-std exception", false);
    }
}

}  // namespace tarn
