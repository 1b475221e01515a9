// Shared pieces of the HTTP tests: a running server with a recording handler,
// and the log captured to a file.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
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
class LogCapture {
public:
    LogCapture() : path_(make_temp_dir("http-log") + "/service.log") { Log::open(path_); }
    ~LogCapture() { Log::close(); }

    std::string text() const {
        std::string contents;
        read_file(path_, contents);
        return contents;
    }

    // How many lines end with " [tag] message".
    std::size_t count(const std::string& tag, const std::string& message) const {
        const std::string needle = " [" + tag + "] " + message + "\n";
        const std::string all = text();
        std::size_t n = 0;
        for (std::size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) ++n;
        return n;
    }

    std::size_t lines() const {
        const std::string all = text();
        std::size_t n = 0;
        for (char c : all) n += c == '\n' ? 1u : 0u;
        return n;
    }

private:
    std::string path_;
};

// Polls `condition` every 10 ms until it holds or `limit` has passed.
template <typename Condition>
// The limit only matters when something is wrong; it is generous because a
// loaded machine (or Wine) can take seconds to start hundreds of threads.
bool wait_until(Condition condition, std::chrono::milliseconds limit = std::chrono::milliseconds(30000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A server on 127.0.0.1 at a port of the system's choosing whose handler
// records the last request and answers 200 {"ok":true}, unless a test puts
// its own reply function in `reply`.
class ServerTest : public ::testing::Test {
protected:
    void start_server(HttpTimeouts timeouts = HttpTimeouts{}) {
        server_ = std::make_unique<HttpServer>("127.0.0.1", std::uint16_t{0}, [this](const HttpRequest& request) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                last_request_ = request;
                ++calls_;
            }
            if (reply) return reply(request);
            HttpResponse response;
            response.body = "{\"ok\":true}";
            return response;
        });
        server_->set_timeouts(timeouts);
        ASSERT_TRUE(server_->start());
        port_ = server_->port();
        ASSERT_NE(port_, 0);
    }

    void SetUp() override { start_server(); }

    void TearDown() override {
        if (server_) server_->stop();
        server_.reset();
    }

    RawResponse send(const std::string& request) { return parse_raw_response(exchange(port_, request)); }

    HttpRequest last_request() {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_request_;
    }
    int calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

    LogCapture log_;
    HttpHandler reply;
    std::unique_ptr<HttpServer> server_;
    std::uint16_t port_ = 0;

private:
    std::mutex mutex_;
    HttpRequest last_request_;
    int calls_ = 0;
};

}  // namespace tarn::test
