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
    bad_request_line,    // no method or no target: 400 "bad request line"
    bad_content_length,  // Content-Length without digits: 400 "bad content-length"
    too_large,           // Content-Length above the body limit or beyond 32 bits: 413
};

// Parses `block`, the bytes of a request before its blank line (CR LF CR
// LF), into the method, path and headers of `request`, and the announced
// body length into `content_length` (0 without a Content-Length header).
// The method and target are the first two words of the first line; header
// names are lower-cased, values trimmed, the last duplicate wins, and
// Content-Length is read as strtoul reads base 10 into 32 bits. Returns
// HeadError::none when the request may be served; otherwise the reason,
// with `request` and `content_length` holding what was read so far.
HeadError parse_request_head(std::string_view block, HttpRequest& request, std::uint32_t& content_length);

// The error reply for `error` (not HeadError::none): status and JSON body.
HttpResponse head_error_reply(HeadError error);

}  // namespace tarn
