// The connection routine: read one request, call the handler, reply, close.
#include <algorithm>
#include <cstdint>
#include <exception>

#include "http/http_server.h"
#include "log/log.h"

namespace tarn {
namespace {

// The header block ends at the first blank line.
constexpr char header_end[] = "\r\n\r\n";
constexpr std::size_t header_end_size = 4;
// The connection is dropped once this much has arrived without a complete
// header block (counting whatever came with it).
constexpr std::size_t header_limit_bytes = 65536;
constexpr std::size_t header_read_bytes = 2048;
constexpr std::size_t body_read_bytes = 4096;
// Largest Content-Length taken (4 MiB); more gets 413.
constexpr std::uint32_t max_body_bytes = 4194304;

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_blank_or_cr(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The next white-space-delimited word of `line` from `pos`; empty when none.
std::string next_word(const std::string& line, std::size_t& pos) {
    while (pos < line.size() && is_c_space(line[pos])) ++pos;
    const std::size_t begin = pos;
    while (pos < line.size() && !is_c_space(line[pos])) ++pos;
    return line.substr(begin, pos - begin);
}

std::string trim_right(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && is_blank_or_cr(text[end - 1])) --end;
    return text.substr(0, end);
}

enum class LengthState { ok, no_digits, too_large };

// Content-Length as strtoul reads base 10 into 32 bits: leading white space,
// one optional sign, digits up to the first non-digit, a minus sign negating
// modulo 2^32. No digits at all, or a magnitude beyond 32 bits, are flagged.
LengthState parse_content_length(const std::string& value, std::uint32_t& length) {
    std::size_t pos = 0;
    while (pos < value.size() && is_c_space(value[pos])) ++pos;
    bool negative = false;
    if (pos < value.size() && (value[pos] == '+' || value[pos] == '-')) {
        negative = value[pos] == '-';
        ++pos;
    }
    std::uint64_t magnitude = 0;
    bool any_digit = false;
    bool overflow = false;
    for (; pos < value.size() && value[pos] >= '0' && value[pos] <= '9'; ++pos) {
        any_digit = true;
        if (!overflow) {
            magnitude = magnitude * 10 + static_cast<std::uint64_t>(value[pos] - '0');
            overflow = magnitude > 0xffffffffu;
        }
    }
    if (!any_digit) return LengthState::no_digits;
    if (overflow) return LengthState::too_large;
    const auto low = static_cast<std::uint32_t>(magnitude);
    length = negative ? static_cast<std::uint32_t>(0u - low) : low;
    return LengthState::ok;
}

HttpResponse error_reply(std::int32_t status, const char* body) {
    HttpResponse response;
    response.status = status;
    response.body = body;
    return response;
}

}  // namespace

void HttpServer::handle_connection(Connections::iterator connection) {
    // Closes the socket and unregisters on every path, exactly once.
    struct Finish {
        HttpServer* server;
        Connections::iterator connection;
        ~Finish() { server->finish_connection(connection); }
    } finish{this, connection};

    const socket_t s = connection->socket;
    const Clock::time_point header_deadline =
        connection->accepted_at + std::chrono::milliseconds(timeouts_.header_deadline_ms);
    int receive_timeout = timeouts_.receive_ms;

    // 1. The header block.
    std::string buffer;
    std::size_t marker = std::string::npos;
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
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(header_deadline - Clock::now());
        if (left.count() <= 0) return;
        const int wanted = static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), timeouts_.receive_ms));
        if (wanted < receive_timeout) {
            set_receive_timeout(s, wanted);
            receive_timeout = wanted;
        }
        char chunk[header_read_bytes];
        const long n = receive_cancellable(s, chunk, sizeof chunk, receive_timeout, connection->cut_off);
        if (n <= 0) return;
        buffer.append(chunk, static_cast<std::size_t>(n));
        if (buffer.size() >= header_limit_bytes) return;
    }
    if (receive_timeout != timeouts_.receive_ms) set_receive_timeout(s, timeouts_.receive_ms);

    // 2. Request line.
    const std::string block = buffer.substr(0, marker);
    const std::size_t line_end = block.find("\r\n");
    const std::string request_line = block.substr(0, line_end);
    HttpRequest request;
    std::size_t pos = 0;
    request.method = next_word(request_line, pos);
    request.path = next_word(request_line, pos);
    if (request.method.empty() || request.path.empty()) {
        write_response(s, error_reply(400, "{\"error\":\"bad request line\"}"));
        return;
    }

    // 3. Header lines.
    std::uint32_t content_length = 0;
    LengthState length_state = LengthState::ok;
    if (line_end != std::string::npos) {
        std::size_t start = line_end + 2;
        while (start <= block.size()) {
            std::size_t end = block.find("\r\n", start);
            if (end == std::string::npos) end = block.size();
            const std::string line = block.substr(start, end - start);
            start = end + 2;
            const std::size_t colon = line.find(':');
            if (line.empty() || colon == std::string::npos) continue;
            std::string name = trim_right(line.substr(0, colon));
            for (char& c : name) {
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            }
            std::string value = trim_right(line.substr(colon + 1));
            std::size_t lead = 0;
            while (lead < value.size() && (value[lead] == ' ' || value[lead] == '\t')) ++lead;
            value.erase(0, lead);
            if (name == "content-length") length_state = parse_content_length(value, content_length);
            request.headers[std::move(name)] = std::move(value);
        }
    }

    // 4. Size.
    if (length_state == LengthState::no_digits) {
        write_response(s, error_reply(400, "{\"error\":\"bad content-length\"}"));
        return;
    }
    if (length_state == LengthState::too_large || content_length > max_body_bytes) {
        write_response(s, error_reply(413, "{\"error\":\"payload too large\"}"));
        return;
    }

    // 5. Body: whatever came with the header block stays, even beyond the
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
                write_response(s, error_reply(400, "{\"error\":\"short body\"}"));
                return;
            }
            request.body.resize(old_size + static_cast<std::size_t>(n));
        }
    }
    buffer.clear();
    buffer.shrink_to_fit();

    // 6. Dispatch; only the handler call is guarded.
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

    // 7. Reply; Finish closes.
    write_response(s, response);
}

}  // namespace tarn
