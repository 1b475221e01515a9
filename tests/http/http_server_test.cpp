// The listener: start and stop, their log lines, teardown of live
// connections, and the connection cap.
#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "http_test_util.h"

namespace tarn {
namespace {

using test::LogCapture;
using test::RawClient;

#ifdef _WIN32
constexpr int address_in_use = WSAEADDRINUSE;
#else
constexpr int address_in_use = EADDRINUSE;
#endif

HttpHandler ok_handler() {
    return [](const HttpRequest&) {
        HttpResponse response;
        response.body = "{\"ok\":true}";
        return response;
    };
}

// A listening socket on 127.0.0.1 without address reuse, holding a port.
struct PortHolder {
    PortHolder() {
        socket_library_startup();
        s = open_tcp_socket();
        sockaddr_in address{};
        address.sin_family = AF_INET;
        parse_ipv4("127.0.0.1", address.sin_addr);
        if (bind_ipv4(s, address) && listen_max(s)) port = local_port(s);
    }
    ~PortHolder() {
        close_socket(s);
        socket_library_cleanup();
    }
    socket_t s = invalid_socket;
    std::uint16_t port = 0;
};

class Listener : public ::testing::Test {
protected:
    LogCapture log_;
};

TEST_F(Listener, StartLogsTheAddressAsConfiguredAndStopLogsOnce) {
    const std::uint16_t port = test::free_port();
    {
        HttpServer server("127.0.0.1", port, ok_handler());
        ASSERT_TRUE(server.start());
        EXPECT_EQ(server.port(), port);
        EXPECT_EQ(test::parse_raw_response(test::exchange(port, "GET / HTTP/1.1\r\n\r\n")).body, "{\"ok\":true}");
        server.stop();
        server.stop();
    }  // the destructor's stop() does nothing more
    EXPECT_EQ(log_.count("INF", "http: listening on 127.0.0.1:" + std::to_string(port)), 1u);
    EXPECT_EQ(log_.count("INF", "http: stopped"), 1u);
    EXPECT_EQ(log_.lines(), 2u);
    RawClient late;
    EXPECT_FALSE(late.connect(port));
}

TEST_F(Listener, EmptyAndAnyAddressListenOnEveryInterface) {
    for (const char* address : {"", "0.0.0.0"}) {
        const std::uint16_t port = test::free_port();
        HttpServer server(address, port, ok_handler());
        ASSERT_TRUE(server.start()) << address;
        EXPECT_EQ(test::parse_raw_response(test::exchange(port, "GET / HTTP/1.1\r\n\r\n")).status, 200);
        server.stop();
        EXPECT_EQ(log_.count("INF", std::string("http: listening on ") + address + ":" + std::to_string(port)), 1u);
    }
}

TEST_F(Listener, HostNameIsABadBindAddr) {
    HttpServer server("localhost", 0, ok_handler());
    EXPECT_FALSE(server.start());
    EXPECT_EQ(log_.count("ERR", "http: bad bind_addr localhost"), 1u);
    server.stop();
    server.stop();
    EXPECT_EQ(log_.count("INF", "http: stopped"), 1u);
    EXPECT_EQ(log_.lines(), 2u);
}

TEST_F(Listener, PortInUseFailsWithTheBindLine) {
    PortHolder holder;
    ASSERT_NE(holder.port, 0);
    HttpServer server("127.0.0.1", holder.port, ok_handler());
    EXPECT_FALSE(server.start());
    EXPECT_EQ(log_.count("ERR", "http: bind 127.0.0.1:" + std::to_string(holder.port) +
                                    " failed: " + std::to_string(address_in_use)),
              1u)
        << log_.text();
}

// With SO_REUSEADDR, Windows let a second server bind a port the first one
// was listening on; both must not listen at once.
TEST_F(Listener, SecondServerCannotTakeAListeningPort) {
    HttpServer first("127.0.0.1", 0, ok_handler());
    ASSERT_TRUE(first.start());
    HttpServer second("127.0.0.1", first.port(), ok_handler());
    EXPECT_FALSE(second.start());
    EXPECT_EQ(test::parse_raw_response(test::exchange(first.port(), "GET / HTTP/1.1\r\n\r\n")).status, 200);
}

TEST_F(Listener, PortIsFreeAgainAfterStop) {
    std::uint16_t port = 0;
    {
        HttpServer server("127.0.0.1", 0, ok_handler());
        ASSERT_TRUE(server.start());
        port = server.port();
        EXPECT_EQ(test::parse_raw_response(test::exchange(port, "GET / HTTP/1.1\r\n\r\n")).status, 200);
    }
    HttpServer again("127.0.0.1", port, ok_handler());
    EXPECT_TRUE(again.start());
}

TEST_F(Listener, EmptyHandlerCountsAsAStdException) {
    HttpServer server("127.0.0.1", 0, HttpHandler{});
    ASSERT_TRUE(server.start());
    const test::RawResponse reply =
        test::parse_raw_response(test::exchange(server.port(), "GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(reply.status_line, "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(reply.body, "{\"error\":\"internal error\"}");
    server.stop();
    EXPECT_NE(log_.text().find(" [ERR] http: handler exception: "), std::string::npos);
}

TEST_F(Listener, ConnectionWhoseThreadCannotStartIsClosedAndAcceptingGoesOn) {
    HttpServer server("127.0.0.1", 0, ok_handler());
    ASSERT_TRUE(server.start());
    fail_next_thread_starts(1);
    RawClient refused;
    ASSERT_TRUE(refused.connect(server.port()));
    EXPECT_TRUE(refused.closed_without_reply());
    EXPECT_EQ(server.live_connections(), 0u);
    EXPECT_EQ(test::parse_raw_response(test::exchange(server.port(), "GET / HTTP/1.1\r\n\r\n")).status, 200);
    EXPECT_EQ(log_.count("WRN", "http: cannot start a connection thread: injected failure"), 1u);
}

// stop() with connections in every phase.
class Teardown : public ::testing::Test {
protected:
    LogCapture log_;
};

TEST_F(Teardown, SlowHandlerStillRepliesAfterStopBegins) {
    std::atomic<int> inside{0};
    std::atomic<int> finished{0};
    auto server = std::make_unique<HttpServer>("127.0.0.1", std::uint16_t{0}, [&](const HttpRequest& request) {
        ++inside;
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        HttpResponse response;
        response.body = request.path;
        ++finished;
        --inside;
        return response;
    });
    ASSERT_TRUE(server->start());
    const std::uint16_t port = server->port();

    RawClient in_handler;
    ASSERT_TRUE(in_handler.connect(port));
    ASSERT_TRUE(in_handler.send("GET /slow HTTP/1.1\r\n\r\n"));
    RawClient in_headers;
    ASSERT_TRUE(in_headers.connect(port));
    ASSERT_TRUE(in_headers.send("GET /never HTTP/1.1\r\nHost"));
    RawClient in_body;
    ASSERT_TRUE(in_body.connect(port));
    ASSERT_TRUE(in_body.send("POST /half HTTP/1.1\r\nContent-Length: 100\r\n\r\n0123456789"));
    RawClient idle;
    ASSERT_TRUE(idle.connect(port));
    ASSERT_TRUE(test::wait_until([&] { return inside.load() == 1 && server->live_connections() == 4; }));

    const auto begin = std::chrono::steady_clock::now();
    server->stop();
    const auto took = std::chrono::steady_clock::now() - begin;
    // Nothing of the server runs any more: the handler has finished and no
    // connection is left.
    EXPECT_EQ(inside.load(), 0);
    EXPECT_EQ(finished.load(), 1);
    EXPECT_EQ(server->live_connections(), 0u);
    server.reset();
    EXPECT_LT(took, std::chrono::milliseconds(3000));

    EXPECT_EQ(test::parse_raw_response(in_handler.read_all()).body, "/slow");
    EXPECT_EQ(in_headers.read_all(), "");
    EXPECT_EQ(test::parse_raw_response(in_body.read_all()).body, "{\"error\":\"short body\"}");
    EXPECT_EQ(idle.read_all(), "");
    EXPECT_EQ(finished.load(), 1);
    EXPECT_EQ(log_.count("INF", "http: stopped"), 1u);
}

TEST_F(Teardown, StopIsQuickWithManyIdleConnections) {
    HttpServer server("127.0.0.1", 0, ok_handler());
    ASSERT_TRUE(server.start());
    std::vector<RawClient> clients(100);
    for (RawClient& client : clients) ASSERT_TRUE(client.connect(server.port()));
    ASSERT_TRUE(test::wait_until([&] { return server.live_connections() == clients.size(); }));
    const auto begin = std::chrono::steady_clock::now();
    server.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1500));
    EXPECT_EQ(server.live_connections(), 0u);
    for (RawClient& client : clients) EXPECT_TRUE(client.closed_without_reply());
}

TEST_F(Teardown, DestroyingARunningServerStopsIt) {
    std::uint16_t port = 0;
    RawClient idle;
    {
        HttpServer server("127.0.0.1", 0, ok_handler());
        ASSERT_TRUE(server.start());
        port = server.port();
        ASSERT_TRUE(idle.connect(port));
        ASSERT_TRUE(test::wait_until([&] { return server.live_connections() == 1; }));
    }
    EXPECT_TRUE(idle.closed_without_reply());
    EXPECT_EQ(log_.count("INF", "http: stopped"), 1u);
}

// Connection threads used to grow without bound, each holding up to 4 MiB of
// body; the server now serves at most max_connections at once and answers
// the next with 503.
class ConnectionCap : public ::testing::Test {
protected:
    LogCapture log_;
};

TEST_F(ConnectionCap, ConnectionPastTheCapGets503AndServiceResumesAfterwards) {
    HttpServer server("127.0.0.1", 0, ok_handler());
    ASSERT_TRUE(server.start());
    std::vector<RawClient> held(HttpServer::max_connections);
    for (RawClient& client : held) ASSERT_TRUE(client.connect(server.port()));
    ASSERT_TRUE(test::wait_until([&] { return server.live_connections() == HttpServer::max_connections; }))
        << server.live_connections();

    RawClient extra;
    ASSERT_TRUE(extra.connect(server.port()));
    EXPECT_EQ(extra.read_all(),
              "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: 23\r\n"
              "Connection: close\r\n\r\n{\"error\":\"server busy\"}");
    EXPECT_EQ(server.live_connections(), HttpServer::max_connections);
    EXPECT_EQ(log_.count("WRN", "http: 256 connections open, refusing more with 503"), 1u);

    // One of the held connections is still served normally.
    ASSERT_TRUE(held[0].send("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(test::parse_raw_response(held[0].read_all()).body, "{\"ok\":true}");

    held.clear();
    ASSERT_TRUE(test::wait_until([&] { return server.live_connections() == 0; }));
    EXPECT_EQ(test::parse_raw_response(test::exchange(server.port(), "GET / HTTP/1.1\r\n\r\n")).body,
              "{\"ok\":true}");
}

}  // namespace
}  // namespace tarn
