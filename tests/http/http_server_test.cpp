// The server over real loopback sockets: reply bytes, framing and limits,
// early replies, handler failures, slow or vanished peers, the listener,
// teardown with live connections, and the connection caps.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "gzip_for_tests.h"
#include "http/http_server.h"
#include "http/socket.h"
#include "http/thread_start.h"
#include "test_env.h"

namespace tarn::test {

using namespace std::chrono_literals;

// The socket library is started once per test process and never released.
void ensure_socket_library() { static const bool started [[maybe_unused]] = socket_library_startup(); }

sockaddr_in ipv4(const std::string& host, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    parse_ipv4(host, address.sin_addr);
    return address;
}

// A blocking client connection to 127.0.0.1: raw bytes out, raw bytes back.
class RawClient {
public:
    // Connects from `from` (a loopback address such as 127.0.0.2; empty for
    // the system's choice); false when that fails. Every receive afterwards
    // gives up after `receive_timeout_ms`.
    bool connect(std::uint16_t port, const std::string& from = "", int receive_timeout_ms = 60000) {
        ensure_socket_library();
        socket_.reset(open_tcp_socket());
        const sockaddr_in target = ipv4("127.0.0.1", port);
        if (!socket_.valid() || (!from.empty() && !bind_ipv4(socket_.get(), ipv4(from, 0))) ||
            ::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
            socket_.reset();
            return false;
        }
        set_receive_timeout(socket_.get(), receive_timeout_ms);
        set_send_timeout(socket_.get(), 10000);
        return true;
    }
    // Sends all of `bytes`; false when a send fails.
    bool send(const std::string& bytes) { return send_all(socket_.get(), bytes); }
    // Waits until bytes (or the end) can be read; false after `timeout_ms`.
    bool wait_reply(int timeout_ms = 10000) {
        std::vector<bool> readable;
        return wait_readable({socket_.get()}, readable, timeout_ms) && readable[0];
    }
    // Ends the sending side: the server reads the end of the stream, and the
    // client can still read.
    void half_close() { shutdown_send(socket_.get()); }
    // Closes with a reset instead of the orderly end of the stream.
    void reset() {
        const linger abort{1, 0};
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
        socket_.reset();
    }
    // Reads until the server closes (or the receive timeout ends the wait).
    std::string read_all() {
        std::string received;
        char buf[4096];
        for (long n; (n = receive_some(socket_.get(), buf, sizeof buf)) > 0;) {
            received.append(buf, static_cast<std::size_t>(n));
        }
        return received;
    }

private:
    Socket socket_;
};

// A port that is free now, below the systems' ephemeral ranges (Linux from
// 32768, Windows from 49152): a port the system chose could be handed to a
// client connection of a test running alongside before a server binds it again.
std::uint16_t free_port() {
    for (unsigned port = 20000 + std::random_device{}() % 12000;; port = 20000 + (port - 19999) % 12000) {
        const Socket s(open_tcp_socket());
        if (bind_ipv4(s.get(), ipv4("0.0.0.0", static_cast<std::uint16_t>(port))))
            return static_cast<std::uint16_t>(port);
    }
}

// Connects (from `from` when given), sends `request` whole, reads until the
// server closes.
std::string exchange(std::uint16_t port, const std::string& request, const std::string& from = "") {
    RawClient client;
    if (!client.connect(port, from)) return {};
    client.send(request);
    return client.read_all();
}

// The exact bytes of a reply, spelled out apart from the server's code.
std::string reply_bytes(const std::string& status_line, const std::string& body) {
    return "HTTP/1.1 " + status_line +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}
const std::string ok_reply = reply_bytes("200 OK", "{\"ok\":true}");
const std::string busy_reply = reply_bytes("503 Service Unavailable", "{\"error\":\"server busy\"}");
const std::string unauthorized = reply_bytes("401 Unauthorized", "{\"error\":\"unauthorized\"}");
const std::string get_request = "GET / HTTP/1.1\r\n\r\n";
HttpResponse ok_response(const HttpRequest&) { return HttpResponse{200, "{\"ok\":true}"}; }

// A server on 127.0.0.1 at a port of the system's choosing whose handler
// records each request and answers with `reply`, and whose head check
// answers with `early` (change them only between exchanges).
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override { start_server(); }
    void TearDown() override { server_.reset(); }  // before the members the handler uses go

    void start_server(const HttpTimeouts& timeouts = {}, std::size_t body_budget = http_body_budget_bytes) {
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
        server_->set_body_budget(body_budget);
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

// The loopback address of the `i`th of many clients: 127.0.0.2 for the
// first max_connections_per_peer, then 127.0.0.3, and so on.
std::string loopback(std::size_t i) {
    return "127.0.0." + std::to_string(2 + i / HttpServer::max_connections_per_peer);
}

// A request whose body is `body_bytes` long, every byte of it sent.
std::string post_with_body(std::size_t body_bytes) {
    return "POST /p HTTP/1.1\r\nContent-Length: " + std::to_string(body_bytes) + "\r\n\r\n" +
           std::string(body_bytes, 'b');
}

// Sends a request with a 4 MiB body in two steps, the body only once the
// server's reply has arrived, and returns what the client could read; "send
// failed" when sending did (the server reset the connection).
std::string send_big_request_late(RawClient& client) {
    const std::string request = post_with_body(http_max_body_bytes);
    const std::size_t head = request.find("\r\n\r\n") + 4;
    if (!client.send(request.substr(0, head)) || !client.wait_reply()) return "send failed";
    if (!client.send(request.substr(head))) return "send failed";
    return client.read_all();
}

// `body` as chunks of at most `size` bytes, and the last chunk.
std::string chunked(const std::string& body, std::size_t size) {
    std::string out;
    for (std::size_t at = 0; at < body.size(); at += size) {
        const std::string piece = body.substr(at, size);
        char hex[16];
        std::snprintf(hex, sizeof hex, "%zx", piece.size());
        out += std::string(hex) + "\r\n" + piece + "\r\n";
    }
    return out + "0\r\n\r\n";
}

class Requests : public ServerTest {};

TEST_F(Requests, HandlerRepliesAndFailuresGoOutAsExactBytes) {
    const std::string big = std::string("a\0b\xc3\xa9", 5) + std::string(1 << 20, '\0');
    reply = [&big](const HttpRequest& request) {
        return request.path == "/big" ? HttpResponse{500, big, "application/json"} : HttpResponse{302, "", ""};
    };
    EXPECT_EQ(exchange(get_request),
              "HTTP/1.1 302 Error\r\nContent-Type: \r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(exchange("GET /big HTTP/1.1\r\n\r\n"), reply_bytes("500 Internal Server Error", big));
    // clang-format off
    const std::pair<HttpHandler, std::string> failures[] = {
        {[](const HttpRequest&) -> HttpResponse { throw std::runtime_error("disk on fire"); },
         "http: handler exception: disk on fire\n"},
        {[](const HttpRequest&) -> HttpResponse { throw 42; }, "http: handler threw non-std exception\n"},
        {HttpHandler{}, "http: handler exception: bad_function_call\n"},
        {[](const HttpRequest&) -> HttpResponse { throw std::bad_alloc(); }, "http: handler ran out of memory\n"}};
    // clang-format on
    for (const auto& [handler, line] : failures) {
        reply = handler;  // the line is logged before the reply is sent
        // Memory that ran out is no fault of the request: 503, send it again.
        EXPECT_EQ(exchange(get_request),
                  line.find("memory") != std::string::npos
                      ? busy_reply
                      : reply_bytes("500 Internal Server Error", "{\"error\":\"internal error\"}"));
        EXPECT_EQ(log_.count(std::string(" [ERR] ") + line), 1) << line;
    }
}

// Bytes that arrive with the header block stay in the body even beyond the
// announced length, and no more are awaited; a request sent a byte at a time
// is read whole; a header block just below the limit is read, one at the
// limit dropped without a reply.
TEST_F(Requests, BodyIsReadToTheAnnouncedLengthAtMost) {
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"Content-Length: 3\r\n\r\nabcdef", "abcdef"}, {"Content-Length: 0\r\n\r\nignored", ""},
        {"Content-Length: 9\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\nignored", "abc"}};
    // clang-format on
    for (const auto& [rest, body] : cases) {
        ASSERT_EQ(exchange("POST / HTTP/1.1\r\n" + rest), ok_reply) << rest;
        EXPECT_EQ(last_request().body, body) << rest;
    }
    ASSERT_EQ(exchange(post_with_body(http_max_body_bytes)), ok_reply);
    EXPECT_EQ(last_request().body.size(), http_max_body_bytes);
    RawClient client;
    ASSERT_TRUE(client.connect(port_));
    for (const char c : std::string("PUT /p HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc")) {
        ASSERT_TRUE(client.send(std::string(1, c)));
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(client.read_all(), ok_reply);
    EXPECT_EQ(last_request().method + last_request().path + last_request().body, "PUT/pabc");
    const std::string head = "GET / HTTP/1.1\r\nX-Fill: ";  // 24 bytes, and 4 more at the end
    EXPECT_EQ(exchange(head + std::string(http_header_limit_bytes - 1 - 28, 'f') + "\r\n\r\n"), ok_reply);
    EXPECT_EQ(exchange(head + std::string(http_header_limit_bytes - 28, 'f') + "\r\n\r\n"), "") << "at the limit";
}

// Replies decided by the head alone (a head error, the head check, an
// unknown coding) go out before any body byte is read, without a go-ahead:
// a client that announced a body and sends none is answered at once.
TEST_F(Requests, HeadErrorsAndTheHeadCheckAnswerBeforeTheBody) {
    early = [](const HttpRequest& head) -> std::optional<HttpResponse> {
        if (head.path == "/locked") return HttpResponse{401, "{\"error\":\"unauthorized\"}"};
        return std::nullopt;
    };
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"GET\r\nContent-Length: 10\r\n\r\n", reply_bytes("400 Bad Request", "{\"error\":\"bad request line\"}")},
        {"POST /locked HTTP/1.1\r\nContent-Length: 10\r\nExpect: 100-continue\r\n\r\n", unauthorized},
        {"POST / HTTP/1.1\r\nContent-Encoding: br\r\nContent-Length: 10\r\nExpect: 100-continue\r\n\r\n",
         reply_bytes("415 Unsupported Media Type", "{\"error\":\"unsupported content encoding\"}")}};
    // clang-format on
    for (const auto& [request, expected] : cases) {
        RawClient client;
        ASSERT_TRUE(client.connect(port_, "", 2000));  // the 15 s body wait would outlast this
        ASSERT_TRUE(client.send(request));
        EXPECT_EQ(client.read_all(), expected) << request;
    }
    EXPECT_EQ(last_request().path, "") << "the handler saw none of them";
    // Closing while the client still sends made the system answer with a
    // reset, which could destroy the early reply before the client read it.
    early = [](const HttpRequest&) { return std::optional<HttpResponse>({401, "{\"error\":\"unauthorized\"}"}); };
    RawClient sending;
    ASSERT_TRUE(sending.connect(port_));
    EXPECT_EQ(send_big_request_late(sending), unauthorized);
}

// While the process can open no descriptor, accept fails; the listener
// says so and accepts again once it can.
TEST_F(Requests, AcceptFailingForWantOfDescriptorsDoesNotEndTheListener) {
    const Socket waiting(open_tcp_socket());
    // Opened now: later opens would fail too. Plain stdio, since the
    // sanitizers' checks of a virtual call read /proc, which fails as well.
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> log(std::fopen(log_.path.c_str(), "rb"), &std::fclose);
    if (!test::limit_descriptors(true)) GTEST_SKIP() << "no limit on descriptors here";
    const sockaddr_in target = ipv4("127.0.0.1", port_);
    const bool connected = ::connect(waiting.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
    const bool warned = eventually([&] {
        std::string text(65536, '\0');
        std::rewind(log.get());
        text.resize(std::fread(text.data(), 1, text.size(), log.get()));
        return text.find("[WRN] http: accept failed: ") != std::string::npos;
    });
    test::limit_descriptors(false);
    ASSERT_TRUE(connected && warned);
    EXPECT_EQ(exchange(post_with_body(1)), ok_reply);
}

// What the handler sees of its client: asked at once, and again until it
// answers gone or 3 s pass, with the patience for a half-closed client cut to
// 1 s. A request for /wait is held until the test lets it go on.
class ClientGone : public ServerTest {
protected:
    void SetUp() override {
        HttpTimeouts timeouts;
        timeouts.half_close_patience_ms = 1000;
        start_server(timeouts);
        reply = [this](const HttpRequest& request) {
            if (request.path == "/wait") {
                inside_.set();
                go_on_.wait();
            }
            const bool at_once = request.client_gone();
            const bool later = at_once || eventually([&] { return request.client_gone(); }, 3s);
            seen_ = std::string(at_once ? "gone" : "here") + (later ? "/gone" : "/here");
            return HttpResponse{200, seen_};
        };
    }
    std::string seen() {
        EXPECT_TRUE(eventually([this] { return server_->live_connections() == 0; }));
        return seen_;
    }

    Event inside_, go_on_;
    std::string seen_;  // written by the handler before its connection ends
};

// A client that half-closes after its request (nc -N, some embedded stacks)
// counted as gone at once, so its batch was never stored, resend after
// resend. It counts as gone only once its request has waited the patience,
// and it reads its reply.
TEST_F(ClientGone, HalfClosedClientIsGoneOnlyAfterThePatienceAndReadsItsReply) {
    RawClient client;
    ASSERT_TRUE(client.connect(port_) && client.send("GET /wait HTTP/1.1\r\n\r\n") && inside_.wait());
    client.half_close();
    go_on_.set();
    EXPECT_EQ(client.read_all(), reply_bytes("200 OK", "here/gone"));
}

// A reset counts at once; bytes sent after the request are no sign of going.
TEST_F(ClientGone, ResetIsGoneAtOnceAndBytesAfterTheRequestAreNot) {
    RawClient client;
    ASSERT_TRUE(client.connect(port_) && client.send("GET /wait HTTP/1.1\r\n\r\n") && inside_.wait());
    client.reset();
    go_on_.set();
    EXPECT_EQ(seen(), "gone/gone");
    ASSERT_TRUE(client.connect(port_) && client.send("GET / HTTP/1.1\r\n\r\nbytes after the request"));
    EXPECT_EQ(client.read_all(), reply_bytes("200 OK", "here/here"));
}

// Bodies framed by chunks or coded with gzip reach the handler decoded and
// inflated, within the one body limit: at the limit taken, one byte past it
// 413. Bad framing or a damaged stream is 400, and so is a chunked body whose
// stream ends before the last chunk.
class Bodies : public ServerTest {};

TEST_F(Bodies, ChunkedAndGzipBodiesAreDecodedWithinTheLimit) {
    const std::string full(http_max_body_bytes, 'c'),
        chunked_head = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n";
    const auto gzip_post = [](const std::string& body) {
        return "POST / HTTP/1.1\r\nContent-Encoding: gzip\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n\r\n" + body;
    };
    // clang-format off
    const std::pair<std::string, std::string> taken[] = {
        {chunked_head + "\r\n" + chunked(full, 65536), full}, {gzip_post(test::gzip(full)), full},
        {chunked_head + "Content-Encoding: gzip\r\n\r\n" + chunked(test::gzip("{}"), 7), "{}"}};
    // clang-format on
    for (const auto& [request, body] : taken) {
        ASSERT_EQ(exchange(request), ok_reply);
        EXPECT_EQ(last_request().body, body);
    }
    const std::string too_large = reply_bytes("413 Payload Too Large", "{\"error\":\"payload too large\"}");
    const std::string bad_chunks = reply_bytes("400 Bad Request", "{\"error\":\"bad chunked body\"}");
    // clang-format off
    const std::pair<std::string, std::string> refused[] = {
        {chunked_head + "\r\n" + chunked(full + "c", 65536), too_large}, {gzip_post(test::gzip(full + "c")), too_large},
        {gzip_post("{}"), reply_bytes("400 Bad Request", "{\"error\":\"bad gzip body\"}")},
        {chunked_head + "\r\nzz\r\n", bad_chunks}, {chunked_head + "\r\n3\r\nabcX", bad_chunks},
        {chunked_head + "\r\n3\r\nabc\r\n", reply_bytes("400 Bad Request", "{\"error\":\"short body\"}")}};
    // clang-format on
    for (const auto& [request, expected] : refused) {
        RawClient client;
        ASSERT_TRUE(client.connect(port_) && client.send(request));
        client.half_close();  // the stream ends where the request does
        EXPECT_EQ(client.read_all(), expected) << request.substr(0, 80);
    }
}

// A body buffer used to reserve the whole announced length up front: 256
// heads announcing 4 MiB each ended the process under a memory limit. The
// bytes all bodies hold are bounded together; a body that does not fit
// beside the others gets 503 at once, or, when chunked, once it outgrows them.
class SmallBodyBudget : public ServerTest {
protected:
    void SetUp() override { start_server({}, 100000); }
};

TEST_F(SmallBodyBudget, BodyThatDoesNotFitBesideTheOthersGets503) {
    // Holds 60000 of the 100000 bytes while its body does not come; its
    // go-ahead says that its share is taken.
    RawClient holder;
    ASSERT_TRUE(holder.connect(port_) &&
                holder.send("POST / HTTP/1.1\r\nContent-Length: 60000\r\nExpect: 100-continue\r\n\r\n"));
    ASSERT_TRUE(holder.wait_reply());
    EXPECT_EQ(exchange(post_with_body(40001)), busy_reply);
    EXPECT_EQ(exchange(post_with_body(40000)), ok_reply);
    EXPECT_EQ(
        exchange("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(std::string(70000, 'c'), 1000)),
        busy_reply);
    ASSERT_TRUE(holder.send(std::string(60000, 'x')));
    EXPECT_EQ(holder.read_all(), "HTTP/1.1 100 Continue\r\n\r\n" + ok_reply);
    // A gzip body holds its compressed bytes, then only the inflated ones
    // (taken 64 KiB at a time).
    const std::string compressed = test::gzip(std::string(900, 'z'));
    EXPECT_EQ(exchange("POST / HTTP/1.1\r\nContent-Encoding: gzip\r\nContent-Length: " +
                       std::to_string(compressed.size()) + "\r\n\r\n" + compressed),
              ok_reply);
    EXPECT_EQ(exchange(post_with_body(100000)), ok_reply) << "every body gave back what it held";
    // One line per spell of refusals; the body of 40000 bytes ended the first.
    EXPECT_EQ(log_.count("[WRN] http: request bodies hold 60000 of 100000 bytes, refusing more with 503\n"), 1);
    EXPECT_EQ(log_.count(" bytes, refusing more with 503\n"), 2);
}

// Peers that are slow or silent, with the timeouts cut down: a
// receive may wait 1.5 s, the whole header block 0.9 s.
class SlowPeers : public ServerTest {
protected:
    void SetUp() override { start_server({1500, 1000, 900, 1000, 2000}); }
};

// A body that stops short is answered 400 once the receive timeout has
// passed. A client that goes once it has its go-ahead makes the read of its
// body fail: the 400 then written to it must end quietly, never with SIGPIPE.
// A peer sending a header byte now and then, each within the
// receive timeout, used to hold its thread for as long as it kept on; the
// header block now has a deadline, which also cuts short a receive that
// would wait past it. Sending stops once the server has closed, or after 6 s.
TEST_F(SlowPeers, ShortOrAbandonedBodyIs400AndAHeaderTrickleOrSilenceEndsAtTheHeaderDeadline) {
    RawClient client;
    ASSERT_TRUE(client.connect(port_) && client.send("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc"));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(client.read_all(), reply_bytes("400 Bad Request", "{\"error\":\"short body\"}"));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 1400ms);
    ASSERT_TRUE(client.connect(port_) &&
                client.send("POST / HTTP/1.1\r\nContent-Length: 3\r\nExpect: 100-continue\r\n\r\n") &&
                client.wait_reply());
    client.reset();
    ASSERT_TRUE(eventually([&] { return server_->live_connections() == 0; }));
    for (const bool trickle : {true, false}) {
        ASSERT_TRUE(client.connect(port_) && client.send("X"));
        const auto start = std::chrono::steady_clock::now();
        while (trickle && std::chrono::steady_clock::now() - start < 6s && client.send("X")) {
            std::this_thread::sleep_for(100ms);
        }
        EXPECT_EQ(client.read_all(), "");
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, 800ms) << trickle;
        EXPECT_LT(took, trickle ? 3000ms : 1400ms) << trickle;
    }
}

class Listener : public ::testing::Test {
protected:
    LogCapture log_;
};

// Every round binds the port the round before served a request on: a
// restart binds at once. A bad address, and a port another
// server listens on, fail the start; a connection whose thread cannot start
// is closed and accepting goes on.
TEST_F(Listener, ListensOnTheConfiguredAddressStopsOnceAndFailuresLeaveNothingBehind) {
    const std::uint16_t port = free_port();
    for (const std::string address : {"127.0.0.1", "", "0.0.0.0"}) {
        {
            HttpServer server(address, port, ok_response);
            ASSERT_TRUE(server.start()) << address;
            EXPECT_EQ(log_.count("[INF] http: listening on " + address + ":" + std::to_string(port) + "\n"), 1);
            EXPECT_EQ(test::exchange(port, get_request), ok_reply);
            server.stop();
            server.stop();
        }  // the destructor's stop() does nothing more
    }
    EXPECT_EQ(log_.count("[INF] http: stopped\n"), 3);
    HttpServer first("127.0.0.1", port, ok_response);
    ASSERT_TRUE(first.start());
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"localhost", "[ERR] http: bad bind_addr localhost\n"},
        {"127.0.0.1", "[ERR] http: bind 127.0.0.1:" + std::to_string(port) + " failed: "}};
    // clang-format on
    for (const auto& [address, line] : cases) {
        HttpServer server(address, port, ok_response);
        EXPECT_FALSE(server.start()) << address;
        server.stop();
        server.stop();
        EXPECT_EQ(log_.count(line), 1) << log_.text();
    }
    EXPECT_EQ(log_.count("http: stopped"), 5);
    fail_next_thread_starts(1);
    RawClient refused;
    ASSERT_TRUE(refused.connect(port));
    EXPECT_EQ(refused.read_all(), "");
    EXPECT_EQ(test::exchange(port, get_request), ok_reply);
    EXPECT_EQ(log_.count("[WRN] http: cannot start a connection thread: injected failure\n"), 1);
}

// stop() with connections in every phase: the destructor stops the server.
TEST_F(Listener, StopLetsTheHandlerFinishAndAnswersOrClosesEveryOtherPhase) {
    std::atomic<int> handler_steps{0};  // 1 inside the handler, 2 when it has returned
    Event go_on;
    auto server = std::make_unique<HttpServer>("127.0.0.1", std::uint16_t{0}, [&](const HttpRequest& request) {
        ++handler_steps;
        go_on.wait();
        ++handler_steps;
        return HttpResponse{200, request.path};
    });
    ASSERT_TRUE(server->start());
    RawClient in_handler, in_headers, in_body;
    std::vector<RawClient> idle(100);
    for (std::size_t i = 0; i < idle.size(); ++i) ASSERT_TRUE(idle[i].connect(server->port(), loopback(i)));
    ASSERT_TRUE(in_handler.connect(server->port()) && in_handler.send("GET /slow HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(in_headers.connect(server->port()) && in_headers.send("GET /never HTTP/1.1\r\nHost"));
    ASSERT_TRUE(in_body.connect(server->port()) && in_body.send("POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n0123"));
    ASSERT_TRUE(eventually([&] { return handler_steps.load() == 1 && server->live_connections() == 103; }));

    // The stop cuts off the connection still sending its head; once that
    // shows, the handler may finish, and the stop waits for it.
    std::string cut_off = "not read";
    std::thread watcher([&] {
        cut_off = in_headers.read_all();
        go_on.set();
    });
    const auto begin = std::chrono::steady_clock::now();
    server.reset();
    watcher.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 3000ms);
    EXPECT_EQ(handler_steps.load(), 2);  // nothing of the server runs any more
    EXPECT_EQ(in_handler.read_all(), reply_bytes("200 OK", "/slow"));
    EXPECT_EQ(cut_off, "");
    // A batch cut off while it arrived was not refused: 503, not 400.
    EXPECT_EQ(in_body.read_all(), reply_bytes("503 Service Unavailable", "{\"error\":\"server stopping\"}"));
    for (RawClient& client : idle) EXPECT_EQ(client.read_all(), "");
    EXPECT_EQ(log_.count("[INF] http: stopped\n"), 1);
}

// Connection threads used to grow without bound, each holding up to 4 MiB of
// body; the server serves at most max_connections at once, and at most
// max_connections_per_peer from one address, and answers the next with 503.
TEST_F(Listener, ConnectionsPastTheCapsGet503AndEachBusySpellIsLoggedOnce) {
    HttpServer server("127.0.0.1", 0, ok_response);
    ASSERT_TRUE(server.start());
    const std::string per_peer_line =
        "[WRN] http: 64 connections open from 127.0.0.2, refusing more from it with 503\n";
    for (int spell = 1; spell <= 2; ++spell) {
        ASSERT_TRUE(eventually([&] { return server.live_connections() == 0; }));
        std::vector<RawClient> held(HttpServer::max_connections);
        for (std::size_t i = 0; i < held.size(); ++i) {
            if (i == HttpServer::max_connections_per_peer) {  // 127.0.0.2 is at its cap, the server is not
                ASSERT_TRUE(eventually([&] { return server.live_connections() == i; }));
                EXPECT_EQ(test::exchange(server.port(), get_request, "127.0.0.2"), busy_reply);
                EXPECT_EQ(log_.count(per_peer_line), spell);
            }
            ASSERT_TRUE(held[i].connect(server.port(), loopback(i)));
        }
        ASSERT_TRUE(eventually([&] { return server.live_connections() == HttpServer::max_connections; }));
        RawClient extra;  // busy sending a whole body, it still reads its 503
        ASSERT_TRUE(extra.connect(server.port(), "127.0.0.9"));
        EXPECT_EQ(send_big_request_late(extra), busy_reply);
        EXPECT_EQ(log_.count("[WRN] http: 256 connections open, refusing more with 503\n"), spell);

        held.resize(HttpServer::max_connections_per_peer);  // only 127.0.0.2's are left
        ASSERT_TRUE(eventually([&] { return server.live_connections() == held.size(); }));
        EXPECT_EQ(test::exchange(server.port(), get_request, "127.0.0.2"), busy_reply);
        EXPECT_EQ(test::exchange(server.port(), get_request, "127.0.0.3"), ok_reply);
        EXPECT_EQ(log_.count(per_peer_line), spell) << "no address of its own was admitted meanwhile";
    }
}

}  // namespace tarn::test
