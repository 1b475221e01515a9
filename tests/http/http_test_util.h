// Shared pieces of the HTTP tests: the log captured to a file, the bytes of
// expected replies, and a running server whose handler records requests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "http/http_server.h"
#include "log/log.h"
#include "raw_client.h"
#include "test_env.h"

namespace tarn::test {

// Sends the log to a fresh file for the life of the object.
struct LogCapture {
    LogCapture() { Log::open(path); }
    ~LogCapture() { Log::close(); }

    std::string text() const {
        std::string contents;
        read_file(path, contents);
        return contents;
    }
    // How many lines end with " [tag] message".
    std::size_t count(const std::string& tag, const std::string& message) const {
        const std::string all = text(), needle = " [" + tag + "] " + message + "\n";
        std::size_t n = 0;
        for (std::size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) ++n;
        return n;
    }

    const std::string path = make_temp_dir("http-log") + "/service.log";
};

// A test that reads what the code under test logged.
class LoggingTest : public ::testing::Test {
protected:
    LogCapture log_;
};

// Polls `condition` until it holds, for at most 30 s: a loaded machine (or
// Wine) can take seconds to start hundreds of threads.
template <typename Condition>
bool wait_until(Condition condition) {
    for (int i = 0; i < 3000 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}

// The exact bytes of a reply, spelled out apart from the server's code.
inline std::string reply_bytes(const std::string& status_line, const std::string& body) {
    return "HTTP/1.1 " + status_line + "\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}
inline const std::string ok_reply = reply_bytes("200 OK", "{\"ok\":true}");
inline const std::string get_request = "GET / HTTP/1.1\r\n\r\n";
inline HttpResponse ok_response(const HttpRequest&) { return HttpResponse{200, "{\"ok\":true}"}; }

// A server on 127.0.0.1 at a port of the system's choosing whose handler
// records each request and answers with `reply` (change it only between
// exchanges).
class ServerTest : public LoggingTest {
protected:
    void SetUp() override { start_server(); }
    void TearDown() override { server_.reset(); }  // before the members the handler uses go

    void start_server(const HttpTimeouts& timeouts = {}) {
        server_ = std::make_unique<HttpServer>("127.0.0.1", std::uint16_t{0}, [this](const HttpRequest& request) {
            std::unique_lock<std::mutex> lock(mutex_);
            last_request_ = request;
            lock.unlock();
            return reply(request);
        });
        server_->set_timeouts(timeouts);
        ASSERT_TRUE(server_->start());
        port_ = server_->port();
    }

    std::string exchange(const std::string& request) const { return test::exchange(port_, request); }
    HttpRequest last_request() { std::lock_guard<std::mutex> lock(mutex_); return last_request_; }

    HttpHandler reply = ok_response;
    std::unique_ptr<HttpServer> server_;
    std::uint16_t port_ = 0;
    std::mutex mutex_;
    HttpRequest last_request_;  // guarded by mutex_
};

}  // namespace tarn::test
