// The listener: start and stop with their log lines, teardown of live
// connections, and the connection cap.
#include <gtest/gtest.h>

#include <vector>

#include "http_test_util.h"

namespace tarn::test {

class Listener : public LoggingTest {};

// Also shows that stop() frees the port: every round binds the same one.
TEST_F(Listener, ListensOnTheConfiguredAddressAndStopsOnce) {
    const std::uint16_t port = free_port();
    std::size_t round = 0;
    for (const std::string address : {"127.0.0.1", "", "0.0.0.0"}) {
        {
            HttpServer server(address, port, ok_response);
            ASSERT_TRUE(server.start()) << address;
            EXPECT_EQ(server.port(), port);
            EXPECT_EQ(exchange(port, get_request), ok_reply);
            server.stop();
            server.stop();
        }  // the destructor's stop() does nothing more
        EXPECT_EQ(log_.count("INF", "http: listening on " + address + ":" + std::to_string(port)), 1u) << address;
        EXPECT_EQ(log_.count("INF", "http: stopped"), ++round);
    }
}

TEST_F(Listener, HostNameIsABadBindAddr) {
    HttpServer server("localhost", 0, ok_response);
    EXPECT_FALSE(server.start());
    server.stop();
    server.stop();
    EXPECT_EQ(log_.count("ERR", "http: bad bind_addr localhost"), 1u);
    EXPECT_EQ(log_.count("INF", "http: stopped"), 1u);
}

// With SO_REUSEADDR, Windows let a second server bind a port the first one
// was listening on; both must not listen at once.
TEST_F(Listener, SecondServerCannotTakeAListeningPort) {
    HttpServer first("127.0.0.1", 0, ok_response);
    ASSERT_TRUE(first.start());
    HttpServer second("127.0.0.1", first.port(), ok_response);
    EXPECT_FALSE(second.start());
    const std::string failed = "[ERR] http: bind 127.0.0.1:" + std::to_string(first.port()) + " failed: ";
    EXPECT_NE(log_.text().find(failed), std::string::npos) << log_.text();
}

TEST_F(Listener, ConnectionWhoseThreadCannotStartIsClosedAndAcceptingGoesOn) {
    HttpServer server("127.0.0.1", 0, ok_response);
    ASSERT_TRUE(server.start());
    fail_next_thread_starts(1);
    RawClient refused;
    ASSERT_TRUE(refused.connect(server.port()));
    EXPECT_TRUE(refused.closed_without_reply());
    EXPECT_EQ(exchange(server.port(), get_request), ok_reply);
    EXPECT_EQ(log_.count("WRN", "http: cannot start a connection thread: injected failure"), 1u);
}

// stop() with connections in every phase.
class Teardown : public LoggingTest {};

// The destructor stops the server, with one connection in each phase and many
// idle ones.
TEST_F(Teardown, SlowHandlerStillRepliesAfterStopBegins) {
    std::atomic<int> handler_steps{0};  // 1 inside the handler, 2 when it has returned
    auto server = std::make_unique<HttpServer>("127.0.0.1", std::uint16_t{0}, [&](const HttpRequest& request) {
        ++handler_steps;
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        ++handler_steps;
        return HttpResponse{200, request.path};
    });
    ASSERT_TRUE(server->start());
    RawClient in_handler, in_headers, in_body;
    std::vector<RawClient> idle(100);
    for (RawClient& client : idle) ASSERT_TRUE(client.connect(server->port()));
    ASSERT_TRUE(in_handler.connect(server->port()) && in_handler.send("GET /slow HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(in_headers.connect(server->port()) && in_headers.send("GET /never HTTP/1.1\r\nHost"));
    ASSERT_TRUE(in_body.connect(server->port()) && in_body.send("POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n0123"));
    ASSERT_TRUE(wait_until([&] { return handler_steps.load() == 1 && server->live_connections() == 103; }));

    const auto begin = std::chrono::steady_clock::now();
    server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(3000));
    EXPECT_EQ(handler_steps.load(), 2);  // nothing of the server runs any more
    EXPECT_EQ(parse_raw_response(in_handler.read_all()).body, "/slow");
    EXPECT_EQ(in_headers.read_all(), "");
    EXPECT_EQ(parse_raw_response(in_body.read_all()).body, "{\"error\":\"short body\"}");
    for (RawClient& client : idle) EXPECT_TRUE(client.closed_without_reply());
    EXPECT_EQ(log_.count("INF", "http: stopped"), 1u);
}

// Connection threads used to grow without bound, each holding up to 4 MiB of
// body; the server now serves at most max_connections at once and answers
// the next with 503.
class ConnectionCap : public LoggingTest {};

TEST_F(ConnectionCap, ConnectionPastTheCapGets503AndServiceResumesAfterwards) {
    HttpServer server("127.0.0.1", 0, ok_response);
    ASSERT_TRUE(server.start());
    std::vector<RawClient> held(HttpServer::max_connections);
    for (RawClient& client : held) ASSERT_TRUE(client.connect(server.port()));
    ASSERT_TRUE(wait_until([&] { return server.live_connections() == HttpServer::max_connections; }));

    RawClient extra;
    ASSERT_TRUE(extra.connect(server.port()));
    EXPECT_EQ(extra.read_all(), reply_bytes("503 Service Unavailable", "{\"error\":\"server busy\"}"));
    EXPECT_EQ(log_.count("WRN", "http: 256 connections open, refusing more with 503"), 1u);

    held.clear();
    ASSERT_TRUE(wait_until([&] { return server.live_connections() == 0; }));
    EXPECT_EQ(exchange(server.port(), get_request), ok_reply);
}

}  // namespace tarn::test
