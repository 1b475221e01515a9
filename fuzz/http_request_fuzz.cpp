// Fuzz target: the request reader's pure parts on raw bytes. The input up to
// its first blank line is a request's head (parse_request_head); whatever
// the parser accepts must be a request the server can serve: a method and a
// target without white space taken from the first line, lower-cased and
// trimmed header names and values taken from the block, and a body length
// within the limit that agrees with the last Content-Length line. The bytes
// after the blank line are a chunked body (ChunkedDecoder), fed whole and in
// pieces: both must agree, and the body never passes its limit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/chunked_body.h"
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

// Feeds `stream` to a decoder taking at most `max` bytes, in pieces whose
// sizes come from `cuts` (whole when it is empty); the last status and body.
std::pair<tarn::ChunkedDecoder::Status, std::string> decode(std::string_view stream, std::string_view cuts,
                                                            std::size_t max) {
    tarn::ChunkedDecoder decoder(max);
    std::string body;
    tarn::ChunkedDecoder::Status status = tarn::ChunkedDecoder::Status::more;
    std::size_t at = 0, cut = 0;
    do {
        const std::size_t piece =
            cuts.empty() ? stream.size() : 1 + static_cast<unsigned char>(cuts[cut++ % cuts.size()]) % 16;
        const std::string_view next = stream.substr(at, piece);
        at += next.size();
        status = decoder.feed(next, body);
        if (decoder.decoded_bytes() != body.size() || body.size() > max) fail("decoded more than its limit", stream);
    } while (at < stream.size());
    return {status, body};
}

void check_chunked_body(std::string_view stream) {
    // A small limit, so that the fuzzer reaches it.
    constexpr std::size_t max = 64;
    const auto whole = decode(stream, "", max);
    const auto pieces = decode(stream, stream.substr(0, 8), max);
    if (whole != pieces) fail("fed whole and in pieces differ", stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t blank_line = input.find("\r\n\r\n");
    const std::string_view block = input.substr(0, blank_line);
    if (blank_line != std::string_view::npos) check_chunked_body(input.substr(blank_line + 4));
    tarn::HttpRequest request;
    tarn::RequestFraming framing;
    const tarn::HeadError error = tarn::parse_request_head(block, request, framing);
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
    const bool has_transfer_coding = request.headers.count("transfer-encoding") != 0;
    if (error == tarn::HeadError::unsupported_transfer_coding) {
        if (!has_transfer_coding) fail("transfer coding refused without Transfer-Encoding", block);
    } else if (error == tarn::HeadError::none) {
        if (framing.chunked != has_transfer_coding)
            fail("chunked without Transfer-Encoding, or not chunked with it", block);
        if (framing.content_length > tarn::http_max_body_bytes) fail("body length beyond the limit", block);
        if (framing.chunked && framing.content_length != 0) fail("a chunked body with a length", block);
        if (announced == request.headers.end() && framing.content_length != 0)
            fail("body length without content-length", block);
        // A plain decimal value is its own length.
        if (!framing.chunked && announced != request.headers.end() && !announced->second.empty() &&
            announced->second.size() <= 7 && announced->second.find_first_not_of("0123456789") == std::string::npos &&
            std::stoul(announced->second) != framing.content_length) {
            fail("body length differs from content-length", announced->second);
        }
    } else if (announced == request.headers.end() || has_transfer_coding) {
        fail("content-length error without content-length, or with a transfer coding", block);
    }
    return 0;
}
