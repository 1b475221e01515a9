// Parsing of a request's head: request line, header lines, Content-Length.
#include "http/request_head.h"

#include <string>

#include "http/http_server.h"

namespace tarn {
namespace {

bool is_c_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool is_blank_or_cr(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The next white-space-delimited word of `line` from `pos`; empty when none.
std::string_view next_word(std::string_view line, std::size_t& pos) {
    while (pos < line.size() && is_c_space(line[pos])) ++pos;
    const std::size_t begin = pos;
    while (pos < line.size() && !is_c_space(line[pos])) ++pos;
    return line.substr(begin, pos - begin);
}

std::string_view trim_right(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0 && is_blank_or_cr(text[end - 1])) --end;
    return text.substr(0, end);
}

std::string_view trim_left_blanks(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size() && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    return text.substr(begin);
}

// Content-Length as strtoul reads base 10 into 32 bits: leading white space,
// one optional sign, digits up to the first non-digit, a minus sign negating
// modulo 2^32. No digits at all, or a magnitude beyond 32 bits, are errors.
HeadError parse_content_length(std::string_view value, std::uint32_t& length) {
    std::size_t pos = 0;
    while (pos < value.size() && is_c_space(value[pos])) ++pos;
    bool negative = false;
    if (pos < value.size() && (value[pos] == '+' || value[pos] == '-')) {
        negative = value[pos] == '-';
        ++pos;
    }
    std::uint64_t magnitude = 0;
    bool any_digit = false;
    for (; pos < value.size() && value[pos] >= '0' && value[pos] <= '9'; ++pos) {
        any_digit = true;
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(value[pos] - '0');
        if (magnitude > 0xffffffffu) return HeadError::too_large;
    }
    if (!any_digit) return HeadError::bad_content_length;
    const auto low = static_cast<std::uint32_t>(magnitude);
    length = negative ? static_cast<std::uint32_t>(0u - low) : low;
    return HeadError::none;
}

std::string lower_case(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

ContentCoding content_coding(std::string_view value) {
    const std::string name = lower_case(value);
    if (name.empty() || name == "identity") return ContentCoding::identity;
    if (name == "gzip" || name == "x-gzip") return ContentCoding::gzip;
    return ContentCoding::unsupported;
}

}  // namespace

HeadError parse_request_head(std::string_view block, HttpRequest& request, RequestFraming& framing) {
    framing = RequestFraming{};
    const std::size_t line_end = block.find("\r\n");
    std::size_t pos = 0;
    const std::string_view request_line = block.substr(0, line_end);
    request.method = std::string(next_word(request_line, pos));
    request.path = std::string(next_word(request_line, pos));
    if (request.method.empty() || request.path.empty()) return HeadError::bad_request_line;

    HeadError length_error = HeadError::none;
    bool has_transfer_coding = false;
    std::string transfer_coding;
    if (line_end != std::string_view::npos) {
        std::size_t start = line_end + 2;
        while (start <= block.size()) {
            std::size_t end = block.find("\r\n", start);
            if (end == std::string_view::npos) end = block.size();
            const std::string_view line = block.substr(start, end - start);
            start = end + 2;
            const std::size_t colon = line.find(':');
            if (colon == std::string_view::npos) continue;
            std::string name = lower_case(trim_right(line.substr(0, colon)));
            const std::string_view value = trim_left_blanks(trim_right(line.substr(colon + 1)));
            // A later Content-Length line overrides an earlier one, error included.
            if (name == "content-length") length_error = parse_content_length(value, framing.content_length);
            if (name == "transfer-encoding") {
                if (has_transfer_coding) transfer_coding += ", ";
                transfer_coding += lower_case(value);
                has_transfer_coding = true;
            }
            request.headers[std::move(name)] = std::string(value);
        }
    }
    // Only chunked is understood; it must be the one coding, and it frames
    // the body whatever a Content-Length line says.
    if (has_transfer_coding) {
        if (transfer_coding != "chunked") return HeadError::unsupported_transfer_coding;
        framing.chunked = true;
        framing.content_length = 0;
    } else {
        if (length_error != HeadError::none) return length_error;
        if (framing.content_length > http_max_body_bytes) return HeadError::too_large;
    }
    const auto coding = request.headers.find("content-encoding");
    if (coding != request.headers.end()) framing.content_coding = content_coding(coding->second);
    const auto expect = request.headers.find("expect");
    framing.expect_continue = expect != request.headers.end() && lower_case(expect->second) == "100-continue";
    return HeadError::none;
}

HttpResponse head_error_reply(HeadError error) {
    HttpResponse response;
    response.status = 400;
    switch (error) {
        case HeadError::bad_request_line: response.body = "{\"error\":\"bad request line\"}"; break;
        case HeadError::bad_content_length: response.body = "{\"error\":\"bad content-length\"}"; break;
        case HeadError::too_large:
            response.status = 413;
            response.body = "{\"error\":\"payload too large\"}";
            break;
        case HeadError::unsupported_transfer_coding:
            response.status = 501;
            response.body = "{\"error\":\"unsupported transfer encoding\"}";
            break;
        case HeadError::none: break;
    }
    return response;
}

}  // namespace tarn
