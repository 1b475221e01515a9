// The head of a request (request line and header lines) parsed from its
// bytes: a pure function, without sockets.
#pragma once

#include <cstdint>
#include <string_view>

#include "http/http_message.h"

namespace tarn {

// Why a head cannot be served.
enum class HeadError {
    none,
    bad_request_line,             // no method or no target: 400 "bad request line"
    bad_content_length,           // Content-Length without digits: 400 "bad content-length"
    too_large,                    // Content-Length above the body limit or beyond 32 bits: 413
    unsupported_transfer_coding,  // a transfer coding other than chunked: 501
};

// How a request's body is coded.
enum class ContentCoding {
    identity,     // none, or "identity"
    gzip,         // "gzip" (or its old name "x-gzip")
    unsupported,  // anything else: 415 once the head has passed its checks
};

// How the body of a request is framed and coded, as its head announces it.
struct RequestFraming {
    // Announced by Content-Length; 0 without one, and when chunked.
    std::uint32_t content_length = 0;
    // Transfer-Encoding: chunked. It wins over a Content-Length line.
    bool chunked = false;
    ContentCoding content_coding = ContentCoding::identity;
    // Expect: 100-continue: the client waits for a go-ahead before its body.
    bool expect_continue = false;
};

// Parses `block`, the bytes of a request before its blank line (CR LF CR
// LF), into the method, path and headers of `request`, and how its body is
// framed into `framing`. The method and target are the first two words of
// the first line; header names are lower-cased, values trimmed, the last
// duplicate wins (Transfer-Encoding lines are joined instead, as the list
// they make), and Content-Length is read as strtoul reads base 10 into 32
// bits. Coding names are matched without regard to case. Returns
// HeadError::none when the request may be served; otherwise the reason, with
// `request` and `framing` holding what was read so far.
HeadError parse_request_head(std::string_view block, HttpRequest& request, RequestFraming& framing);

// The error reply for `error` (not HeadError::none): status and JSON body.
HttpResponse head_error_reply(HeadError error);

}  // namespace tarn
