// The connection routine: read one request, call the handler, reply, close.
#include <algorithm>
#include <cstdint>
#include <exception>

#include "http/http_server.h"
#include "http/request_head.h"
#include "log/log.h"

namespace tarn {
namespace {

// The header block ends at the first blank line.
constexpr char header_end[] = "\r\n\r\n";
constexpr std::size_t header_end_size = 4;
constexpr std::size_t header_read_bytes = 2048;
constexpr std::size_t body_read_bytes = 4096;

HttpResponse error_reply(std::int32_t status, const char* body) {
    HttpResponse response;
    response.status = status;
    response.body = body;
    return response;
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
    const auto reply_early = [&finish, s](const HttpResponse& response) {
        write_response(s, response);
        finish.linger = true;
    };

    // 1. The header block; nothing is answered before it is complete.
    std::string buffer;
    std::size_t marker = 0;
    if (!read_header_block(*connection, buffer, marker)) return;

    // 2. Request line and header lines, then the look at the head.
    HttpRequest request;
    std::uint32_t content_length = 0;
    const HeadError head_error =
        parse_request_head(std::string_view(buffer).substr(0, marker), request, content_length);
    if (head_error != HeadError::none) return reply_early(head_error_reply(head_error));
    if (check_head_) {
        if (std::optional<HttpResponse> early = check_head_(request)) return reply_early(*early);
    }

    // 3. Body: whatever came with the header block stays, even beyond the
    // announced length.
    if (content_length > 0) {
        // The whole body is allocated once: grown piecemeal, a 4 MiB body
        // could take up to twice its size while it arrives.
        const std::size_t arrived = buffer.size() - marker - header_end_size;
        request.body.reserve(std::max<std::size_t>(content_length, arrived));
        request.body.assign(buffer, marker + header_end_size, std::string::npos);
        while (request.body.size() < content_length) {
            const std::size_t old_size = request.body.size();
            const std::size_t want = std::min<std::size_t>(content_length - old_size, body_read_bytes);
            request.body.resize(old_size + want);
            const long n =
                receive_cancellable(s, &request.body[old_size], want, timeouts_.receive_ms, connection->cut_off);
            if (n <= 0) {
                // Cut off by a stop, the batch was not refused: the client
                // may send it again.
                return reply_early(connection->cut_off ? error_reply(503, "{\"error\":\"server stopping\"}")
                                                       : error_reply(400, "{\"error\":\"short body\"}"));
            }
            request.body.resize(old_size + static_cast<std::size_t>(n));
        }
    }
    buffer.clear();
    buffer.shrink_to_fit();

    // 4. Dispatch; only the handler call is guarded.
    request.client_gone = [s] { return peer_has_closed(s); };
    request.stopping = [this] { return stopping_.load(); };
    enter_handler(connection);
    HttpResponse response;
    try {
        response = handler_(request);
    } catch (const std::exception& e) {
        Log::write(LogLevel::Error, "http: handler exception: %s", e.what());
        response = error_reply(500, "{\"error\":\"internal error\"}");
    } catch (...) {
        Log::write(LogLevel::Error, "http: handler threw non-std exception");
        response = error_reply(500, "{\"error\":\"internal error\"}");
    }

    // 5. Reply; Finish closes.
    write_response(s, response);
}

}  // namespace tarn
