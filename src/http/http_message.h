// The request and response records exchanged with the handler, and the exact
// bytes of a response on the wire.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "http/socket.h"

namespace tarn {

// One parsed request. Header names are lower-cased; the last of several
// headers with the same name wins.
struct HttpRequest {
    std::string method;
    std::string path;
    std::string body;
    std::map<std::string, std::string> headers;
    // Set by the server for the handler's call, empty in a request built by
    // hand; may be asked any number of times while the call runs: true when
    // the client has gone, so that a reply would reach no one (see the
    // server for when a client counts as gone).
    std::function<bool()> client_gone;
};

// The reply a handler returns.
struct HttpResponse {
    std::int32_t status = 200;
    std::string body;
    std::string content_type = "application/json";
};

// The one request handler of a server. Called on connection threads, several
// at once, without any lock held by the server.
using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

// Looks at a request whose head (method, path, headers) has arrived, before
// any of its body is read, and returns a reply to send instead of reading
// the body, or nothing to go on. Called like the handler: on connection
// threads, several at once, without any lock held by the server.
using HttpHeadCheck = std::function<std::optional<HttpResponse>(const HttpRequest& head)>;

// "OK", "Not Found", ... for the statuses the service uses; "Error" otherwise.
std::string reason_phrase(std::int32_t status);

// The whole response message: status line, Content-Type, Content-Length,
// Connection: close, blank line, body.
std::string serialize_response(const HttpResponse& response);

// Sends all of `bytes` on `socket`; false, with the rest dropped, at the
// first failed send (peer gone, send timeout). Allocates nothing.
bool send_all(socket_t socket, std::string_view bytes);

// Sends serialize_response(response) on `socket`, stopping silently at the
// first failed send (peer gone, send timeout). The caller closes the socket.
void write_response(socket_t socket, const HttpResponse& response);

}  // namespace tarn
