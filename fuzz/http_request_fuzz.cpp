// Fuzz target: the request head parser (parse_request_head) on raw bytes.
// The input is taken as the bytes before a request's blank line; whatever
// the parser accepts must be a request the server can serve: a method and a
// target without white space taken from the first line, lower-cased and
// trimmed header names and values taken from the block, and a body length
// within the limit that agrees with the last Content-Length line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/http_server.h"
#include "http/request_head.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail) {
    std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

bool is_c_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool has_c_space(const std::string& text) {
    for (char c : text) {
        if (is_c_space(c)) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view block(reinterpret_cast<const char*>(data), size);
    tarn::HttpRequest request;
    std::uint32_t length = 0;
    const tarn::HeadError error = tarn::parse_request_head(block, request, length);
    const std::string_view first_line = block.substr(0, block.find("\r\n"));
    if (error == tarn::HeadError::bad_request_line) {
        if (!request.method.empty() && !request.path.empty()) fail("bad request line with method and path", block);
        return 0;
    }
    if (request.method.empty() || request.path.empty()) fail("empty method or path", block);
    if (has_c_space(request.method) || has_c_space(request.path)) fail("white space in method or path", block);
    if (first_line.find(request.method) == std::string_view::npos ||
        first_line.find(request.path) == std::string_view::npos) {
        fail("method or path not from the first line", block);
    }
    for (const auto& [name, value] : request.headers) {
        for (char c : name) {
            if (c >= 'A' && c <= 'Z') fail("header name not lower-cased", name);
            if (c == ':') fail("colon in header name", name);
        }
        if (!name.empty() && (name.back() == ' ' || name.back() == '\t' || name.back() == '\r')) {
            fail("header name not trimmed", name);
        }
        if (!value.empty() && (value.front() == ' ' || value.front() == '\t' || value.back() == ' ' ||
                               value.back() == '\t' || value.back() == '\r')) {
            fail("header value not trimmed", value);
        }
        if (block.find(value) == std::string_view::npos) fail("header value not from the block", value);
    }
    const auto announced = request.headers.find("content-length");
    if (error == tarn::HeadError::none) {
        if (length > tarn::http_max_body_bytes) fail("body length beyond the limit", block);
        if (announced == request.headers.end() && length != 0) fail("body length without content-length", block);
        // A plain decimal value is its own length.
        if (announced != request.headers.end() && !announced->second.empty() && announced->second.size() <= 7 &&
            announced->second.find_first_not_of("0123456789") == std::string::npos &&
            std::stoul(announced->second) != length) {
            fail("body length differs from content-length", announced->second);
        }
    } else if (announced == request.headers.end()) {
        fail("content-length error without content-length", block);
    }
    return 0;
}
