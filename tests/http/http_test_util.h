// Shared pieces of the HTTP tests: the bytes of expected replies, and a
// running server whose handler records requests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>

#include "http/http_server.h"
#include "raw_client.h"
#include "test_env.h"

namespace tarn::test {

// The exact bytes of a reply, spelled out apart from the server's code.
inline std::string reply_bytes(const std::string& status_line, const std::string& body) {
    return "HTTP/1.1 " + status_line +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}
inline const std::string ok_reply = reply_bytes("200 OK", "{\"ok\":true}");
inline const std::string get_request = "GET / HTTP/1.1\r\n\r\n";
inline HttpResponse ok_response(const HttpRequest&) { return HttpResponse{200, "{\"ok\":true}"}; }

// A server on 127.0.0.1 at a port of the system's choosing whose handler
// records each request and answers with `reply`, and whose head check
// answers with `early` (change them only between exchanges).
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override { start_server(); }
    void TearDown() override { server_.reset(); }  // before the members the handler uses go

    void start_server(const HttpTimeouts& timeouts = {}) {
        server_ = std::make_unique<HttpServer>(
            "127.0.0.1", std::uint16_t{0},
            [this](const HttpRequest& request) {
                std::unique_lock<std::mutex> lock(mutex_);
                last_request_ = request;
                lock.unlock();
                return reply(request);
            },
            [this](const HttpRequest& head) { return early(head); });
        server_->set_timeouts(timeouts);
        ASSERT_TRUE(server_->start());
        port_ = server_->port();
    }

    std::string exchange(const std::string& request) const { return test::exchange(port_, request); }
    HttpRequest last_request() {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_request_;
    }

    LogCapture log_;
    HttpHandler reply = ok_response;
    HttpHeadCheck early = [](const HttpRequest&) { return std::optional<HttpResponse>(); };
    std::unique_ptr<HttpServer> server_;
    std::uint16_t port_ = 0;
    std::mutex mutex_;
    HttpRequest last_request_;  // guarded by mutex_
};

}  // namespace tarn::test
