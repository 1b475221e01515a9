// Reason phrases and the exact bytes of a response on the wire.
#include "http/http_message.h"

namespace tarn {

std::string reason_phrase(std::int32_t status) {
    switch (status) {
        case 200: return "OK";
        case 201: return "Created";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 411: return "Length Required";
        case 413: return "Payload Too Large";
        case 415: return "Unsupported Media Type";
        case 422: return "Unprocessable Entity";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 503: return "Service Unavailable";
        default: return "Error";
    }
}

std::string serialize_response(const HttpResponse& response) {
    std::string message;
    message.reserve(128 + response.content_type.size() + response.body.size());
    message += "HTTP/1.1 ";
    message += std::to_string(response.status);
    message += ' ';
    message += reason_phrase(response.status);
    message += "\r\nContent-Type: ";
    message += response.content_type;
    message += "\r\nContent-Length: ";
    message += std::to_string(response.body.size());
    message += "\r\nConnection: close\r\n\r\n";
    message += response.body;
    return message;
}

bool send_all(socket_t socket, std::string_view bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const long n = send_some(socket, bytes.data() + sent, bytes.size() - sent);
        if (n <= 0) return false;  // peer gone or send timeout: the rest is dropped
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void write_response(socket_t socket, const HttpResponse& response) {
    // One buffer, so that a small response leaves in a single send.
    send_all(socket, serialize_response(response));
}

}  // namespace tarn
