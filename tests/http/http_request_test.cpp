// One request over a real loopback socket: the reply bytes, framing, limits,
// handler failures, and peers that are slow or gone.
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>

#include "http_test_util.h"

namespace tarn::test {

const std::string bad_length = reply_bytes("400 Bad Request", "{\"error\":\"bad content-length\"}");
const std::string too_large = reply_bytes("413 Payload Too Large", "{\"error\":\"payload too large\"}");

class Requests : public ServerTest {};

TEST_F(Requests, HandlerReplyIsSentAsExactBytes) {
    const std::string big = std::string("a\0b\xc3\xa9", 5) + std::string(1 << 20, '\0');
    reply = [&big](const HttpRequest& request) {
        return request.path == "/big" ? HttpResponse{500, big, "application/json"} : HttpResponse{302, "", ""};
    };
    EXPECT_EQ(exchange(get_request),
              "HTTP/1.1 302 Error\r\nContent-Type: \r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(exchange("GET /big HTTP/1.1\r\n\r\n"), reply_bytes("500 Internal Server Error", big));
}

TEST_F(Requests, RequestSplitIntoOneByteWritesIsReadWhole) {
    RawClient client;
    ASSERT_TRUE(client.connect(port_));
    ASSERT_TRUE(
        client.send_in_pieces("PUT /p HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", 1, std::chrono::milliseconds(1)));
    EXPECT_EQ(client.read_all(), ok_reply);
    EXPECT_EQ(last_request().method + last_request().path + last_request().body, "PUT/pabc");
}

TEST_F(Requests, RequestLineNeedsAMethodAndATargetOnly) {
    const std::pair<const char*, const char*> cases[] = {  // request, method and path seen (none: 400)
        {"GET\r\n\r\n", nullptr}, {"\r\n\r\n", nullptr}, {"   \r\nHost: x\r\n\r\n", nullptr},
        {"GET /x\r\n\r\n", "GET /x"}, {"get /x HTTP/1.0\r\n\r\n", "get /x"},
        {"  POST\t/y  any thing\r\n\r\n", "POST /y"}};
    const std::string bad_line = reply_bytes("400 Bad Request", "{\"error\":\"bad request line\"}");
    for (const auto& [request, seen] : cases) {
        EXPECT_EQ(exchange(request), seen ? ok_reply : bad_line) << request;
        if (seen) { EXPECT_EQ(last_request().method + " " + last_request().path, seen) << request; }
    }
}

TEST_F(Requests, HeaderLinesSplitAtTheFirstColonAndTheLastDuplicateWins) {
    ASSERT_EQ(exchange("POST / HTTP/1.1\r\nX-Note: a:b: c \r\nno colon here\r\n Lead:\t v\t \r\nX-A: 1\r\n"
                       "Content-Length: x\r\nx-a: 2\r\ncontent-length: 3\r\n\r\nabc"), ok_reply);
    const std::map<std::string, std::string> expected{
        {" lead", "v"}, {"content-length", "3"}, {"x-a", "2"}, {"x-note", "a:b: c"}};
    EXPECT_EQ(last_request().headers, expected);
    EXPECT_EQ(last_request().body, "abc");
}

// The body read shows which length was taken: bytes that came with the header
// block are kept even beyond it, and no more are awaited.
TEST_F(Requests, ContentLengthIsReadLikeStrtoulUpToTheLimit) {
    const struct { const char* header; std::string body; std::string expected; std::size_t body_seen; } cases[] = {
        {"CONTENT-LENGTH:\t5", "hello", ok_reply, 5}, {"Content-Length \t: 5\t \r", "hello", ok_reply, 5},
        {"content-length: 12abc", "0123456789ab", ok_reply, 12}, {"Content-Length: 3", "abcdef", ok_reply, 6},
        {"Content-Length: 0", "ignored", ok_reply, 0},
        {"Content-Length: 4194304", std::string(4194304, 'b'), ok_reply, 4194304},
        {"Content-Length: 4194305", "", too_large, 0}, {"Content-Length: -1", "x", too_large, 0},
        {"Content-Length: 4294967296", "", too_large, 0},
        {"Content-Length: ", "x", bad_length, 0}, {"Content-Length: abc", "x", bad_length, 0}};
    for (const auto& c : cases) {
        const std::string request = std::string("POST / HTTP/1.1\r\n") + c.header + "\r\n\r\n" + c.body;
        EXPECT_EQ(exchange(request), c.expected) << c.header;
        if (c.expected == ok_reply) { EXPECT_EQ(last_request().body.size(), c.body_seen) << c.header; }
    }
}

TEST_F(Requests, HeaderBlockOf65535BytesIsReadAnd65536IsDroppedWithoutReply) {
    const std::string head = "GET / HTTP/1.1\r\nX-Fill: ";  // 24 bytes, and 4 more at the end
    EXPECT_EQ(exchange(head + std::string(65535 - 28, 'f') + "\r\n\r\n"), ok_reply);
    EXPECT_EQ(exchange(head + std::string(65536 - 28, 'f') + "\r\n\r\n"), "");
}

TEST_F(Requests, HandlerFailureGets500AndAnErrorLine) {
    const std::pair<HttpHandler, const char*> cases[] = {
        {[](const HttpRequest&) -> HttpResponse { throw std::runtime_error("disk on fire"); },
         "http: handler exception: disk on fire\n"},
        {[](const HttpRequest&) -> HttpResponse { throw 42; }, "http: handler threw non-std exception\n"},
        {HttpHandler{}, "http: handler exception: "}};  // std::bad_function_call
    for (const auto& [handler, line] : cases) {
        reply = handler;  // the line is logged before the reply is sent
        EXPECT_EQ(exchange(get_request), reply_bytes("500 Internal Server Error", "{\"error\":\"internal error\"}"));
        EXPECT_NE(log_.text().find(std::string(" [ERR] ") + line), std::string::npos) << line;
    }
}

// Peers that are slow, silent or gone, with the timeouts cut down.
class SlowPeers : public ServerTest {
protected:
    void SetUp() override { start_server({300, 1000, 900, 1000}); }  // receive, send, header deadline, busy send
};

TEST_F(SlowPeers, ShortBodyAfterAPauseGets400AtTheReceiveTimeout) {
    RawClient client;
    ASSERT_TRUE(client.connect(port_) && client.send("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc"));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(client.read_all(), reply_bytes("400 Bad Request", "{\"error\":\"short body\"}"));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(250));
}

// A peer sending a byte now and then, each within the receive timeout, used
// to hold its thread for as long as it kept on; the header block now has a
// deadline. Sending stops once the server has closed, or after 6 s.
TEST_F(SlowPeers, HeaderTrickleIsClosedAtTheHeaderDeadline) {
    RawClient client;
    ASSERT_TRUE(client.connect(port_));
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 60 && client.send("X"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(client.read_all(), "");
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(took, std::chrono::milliseconds(800));
    EXPECT_LT(took, std::chrono::milliseconds(3000));
}

// Writing to a peer that has gone must end quietly, never with SIGPIPE.
TEST_F(SlowPeers, PeerThatHasGoneDoesNotKillTheProcess) {
    std::atomic<bool> replied{false};
    reply = [&replied](const HttpRequest&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        replied = true;
        return HttpResponse{200, std::string(8 << 20, 'x')};
    };
    RawClient client;
    ASSERT_TRUE(client.connect(port_) && client.send(get_request));
    client.close();  // before the reply is written
    ASSERT_TRUE(wait_until([&] { return replied.load() && server_->live_connections() == 0; }));
    EXPECT_EQ(parse_raw_response(exchange(get_request)).status, 200);
}

}  // namespace tarn::test
