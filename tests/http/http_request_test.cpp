// Reading one request over a real loopback socket: framing, limits, replies.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "http_test_util.h"

namespace tarn {
namespace {

using test::RawClient;
using test::RawResponse;

const char ok_reply[] =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\nConnection: close\r\n\r\n"
    "{\"ok\":true}";

std::string error_bytes(const std::string& status_line, const std::string& body) {
    return "HTTP/1.1 " + status_line + "\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

class RequestReading : public test::ServerTest {};

TEST_F(RequestReading, SimpleGetReachesTheHandlerAndGetsItsReply) {
    EXPECT_EQ(test::exchange(port_, "GET /api/health HTTP/1.1\r\nHost: x\r\n\r\n"), ok_reply);
    const HttpRequest request = last_request();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, "/api/health");
    EXPECT_EQ(request.body, "");
    ASSERT_EQ(request.headers.size(), 1u);
    EXPECT_EQ(request.headers.at("host"), "x");
}

TEST_F(RequestReading, RequestSplitIntoOneByteWritesIsReadWhole) {
    RawClient client;
    ASSERT_TRUE(client.connect(port_));
    ASSERT_TRUE(client.send_in_pieces("POST /api/ingest?a=b HTTP/1.1\r\nContent-Length: 7\r\nX-Tarn-Token: t\r\n\r\n"
                                      "{\"a\":1}",
                                      1, std::chrono::milliseconds(1)));
    EXPECT_EQ(client.read_all(), ok_reply);
    const HttpRequest request = last_request();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/api/ingest?a=b");
    EXPECT_EQ(request.body, "{\"a\":1}");
    EXPECT_EQ(request.headers.at("x-tarn-token"), "t");
}

TEST_F(RequestReading, RequestLineNeedsMethodAndTargetOnly) {
    const std::string bad = error_bytes("400 Bad Request", "{\"error\":\"bad request line\"}");
    const struct {
        const char* request;
        bool accepted;
        const char* method;
        const char* path;
    } cases[] = {
        {"GET\r\n\r\n", false, "", ""},
        {"\r\n\r\n", false, "", ""},
        {"   \r\nHost: x\r\n\r\n", false, "", ""},
        {"GET /x\r\n\r\n", true, "GET", "/x"},
        {"get /x HTTP/1.0\r\n\r\n", true, "get", "/x"},
        {"  POST\t/y  anything at all\r\n\r\n", true, "POST", "/y"},
        {"GET /only-line\r\n\r\n", true, "GET", "/only-line"},
    };
    for (const auto& c : cases) {
        const std::string reply_bytes = test::exchange(port_, c.request);
        if (c.accepted) {
            EXPECT_EQ(reply_bytes, ok_reply) << c.request;
            EXPECT_EQ(last_request().method, c.method);
            EXPECT_EQ(last_request().path, c.path);
        } else {
            EXPECT_EQ(reply_bytes, bad) << c.request;
        }
    }
    EXPECT_EQ(calls(), 4);
}

TEST_F(RequestReading, HeaderNamesAreLowerCasedAndValuesTrimmed) {
    const char* lines[] = {
        "Content-Length: 5", "content-length:5", "CONTENT-LENGTH:\t5", "Content-Length:   5   ",
        "Content-Length \t: 5\t \r",
    };
    for (const char* line : lines) {
        ASSERT_EQ(test::exchange(port_, std::string("POST /p HTTP/1.1\r\n") + line + "\r\n\r\nhello"), ok_reply)
            << line;
        const HttpRequest request = last_request();
        EXPECT_EQ(request.headers.size(), 1u) << line;
        EXPECT_EQ(request.headers.count("content-length"), 1u) << line;
        EXPECT_EQ(request.headers.count("content-length") ? request.headers.at("content-length") : "", "5") << line;
        EXPECT_EQ(request.body, "hello") << line;
    }
}

TEST_F(RequestReading, OnlyTheFirstColonSeparatesAndOddLinesAreKeptOrSkipped) {
    ASSERT_EQ(test::exchange(port_, "GET / HTTP/1.1\r\nX-Note: a:b: c \r\nno colon here\r\n Lead: v\r\n"
                                    "X-Tarn-TOKEN: secret\r\n\r\n"),
              ok_reply);
    const HttpRequest request = last_request();
    EXPECT_EQ(request.headers.size(), 3u);
    EXPECT_EQ(request.headers.at("x-note"), "a:b: c");
    EXPECT_EQ(request.headers.at(" lead"), "v");
    EXPECT_EQ(request.headers.at("x-tarn-token"), "secret");
}

TEST_F(RequestReading, DuplicateHeadersKeepTheLastValue) {
    ASSERT_EQ(test::exchange(port_, "POST / HTTP/1.1\r\nX-A: 1\r\nContent-Length: 9\r\nx-a: 2\r\n"
                                    "content-length: 3\r\n\r\nabc"),
              ok_reply);
    const HttpRequest request = last_request();
    EXPECT_EQ(request.headers.at("x-a"), "2");
    EXPECT_EQ(request.headers.at("content-length"), "3");
    EXPECT_EQ(request.body, "abc");
}

TEST_F(RequestReading, BodyBytesBeyondTheLengthThatCameWithTheHeadersStay) {
    ASSERT_EQ(test::exchange(port_, "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcdef"), ok_reply);
    EXPECT_EQ(last_request().body, "abcdef");
}

TEST_F(RequestReading, BodyWithoutUsableLengthIsNotRead) {
    const char* requests[] = {
        "POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\nignored",
        "POST / HTTP/1.1\r\n\r\nignored",
        "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
    };
    for (const char* request : requests) {
        ASSERT_EQ(test::exchange(port_, request), ok_reply) << request;
        EXPECT_EQ(last_request().body, "") << request;
    }
}

TEST_F(RequestReading, ContentLengthIsReadLikeStrtoul) {
    const std::string too_large = error_bytes("413 Payload Too Large", "{\"error\":\"payload too large\"}");
    const std::string bad_length = error_bytes("400 Bad Request", "{\"error\":\"bad content-length\"}");
    const struct {
        const char* value;
        const char* body_sent;
        std::string expected;
        const char* body_seen;
    } cases[] = {
        {"12abc", "0123456789ab", ok_reply, "0123456789ab"},
        {"+4", "abcd", ok_reply, "abcd"},
        {"-1", "x", too_large, ""},
        {"-0", "x", ok_reply, ""},
        {"4294967295", "", too_large, ""},
        {"4294967296", "", too_large, ""},
        {"99999999999999999999999", "", too_large, ""},
        {"", "x", bad_length, ""},
        {"abc", "x", bad_length, ""},
        {"-", "x", bad_length, ""},
    };
    for (const auto& c : cases) {
        const std::string request =
            std::string("POST / HTTP/1.1\r\nContent-Length: ") + c.value + "\r\n\r\n" + c.body_sent;
        EXPECT_EQ(test::exchange(port_, request), c.expected) << c.value;
        if (c.expected == ok_reply) {
            EXPECT_EQ(last_request().body, c.body_seen) << c.value;
        }
    }
}

TEST_F(RequestReading, LaterGoodContentLengthOverridesAnEarlierBadOne) {
    ASSERT_EQ(test::exchange(port_, "POST / HTTP/1.1\r\nContent-Length: x\r\nContent-Length: 2\r\n\r\nab"), ok_reply);
    EXPECT_EQ(last_request().body, "ab");
}

TEST_F(RequestReading, ContentLengthAtLimitIsAccepted) {
    std::size_t seen = 0;
    reply = [&seen](const HttpRequest& request) {
        seen = request.body.size();
        return HttpResponse{};
    };
    RawClient client;
    ASSERT_TRUE(client.connect(port_));
    ASSERT_TRUE(client.send("POST / HTTP/1.1\r\nContent-Length: 4194304\r\n\r\n"));
    ASSERT_TRUE(client.send(std::string(4194304, 'b')));
    EXPECT_EQ(test::parse_raw_response(client.read_all()).status, 200);
    EXPECT_EQ(seen, 4194304u);
}

TEST_F(RequestReading, ContentLengthOnePastLimitGets413) {
    EXPECT_EQ(test::exchange(port_, "POST / HTTP/1.1\r\nContent-Length: 4194305\r\n\r\n"),
              error_bytes("413 Payload Too Large", "{\"error\":\"payload too large\"}"));
    EXPECT_EQ(calls(), 0);
}

// A header block of `total` bytes, CR LF CR LF included.
std::string header_block_of(std::size_t total) {
    std::string head = "GET / HTTP/1.1\r\nX-Fill: ";
    head.append(total - head.size() - 4, 'f');
    return head + "\r\n\r\n";
}

TEST_F(RequestReading, HeaderBlockJustUnderLimitIsAccepted) {
    EXPECT_EQ(test::exchange(port_, header_block_of(65535)), ok_reply);
    EXPECT_EQ(last_request().headers.at("x-fill").size(), 65535u - 28u);
}

TEST_F(RequestReading, HeaderBlockAtLimitIsDroppedWithoutReply) {
    EXPECT_EQ(test::exchange(port_, header_block_of(65536)), "");
    EXPECT_EQ(calls(), 0);
}

TEST_F(RequestReading, EndlessHeaderLinesAreDroppedWithoutReply) {
    RawClient client;
    ASSERT_TRUE(client.connect(port_));
    std::string lines = "GET / HTTP/1.1\r\n";
    while (lines.size() < 70000) lines += "X-Line: 0123456789\r\n";
    client.send(lines);  // the server may close before all of it is taken
    EXPECT_EQ(client.read_all(), "");
    EXPECT_EQ(calls(), 0);
}

TEST_F(RequestReading, PeerClosingInsideTheBodyGetsShortBody) {
    RawClient client;
    ASSERT_TRUE(client.connect(port_));
    ASSERT_TRUE(client.send("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc"));
    client.shutdown_send();
    EXPECT_EQ(client.read_all(), error_bytes("400 Bad Request", "{\"error\":\"short body\"}"));
    EXPECT_EQ(calls(), 0);
}

TEST_F(RequestReading, PeerClosingInsideTheHeadersGetsNoReply) {
    RawClient client;
    ASSERT_TRUE(client.connect(port_));
    ASSERT_TRUE(client.send("GET / HTTP/1.1\r\nHost: x\r\n"));
    client.shutdown_send();
    EXPECT_TRUE(client.closed_without_reply());
}

TEST_F(RequestReading, HandlerReplyReplacesTheDefaultWhole) {
    reply = [](const HttpRequest&) {
        HttpResponse response;
        response.status = 422;
        response.content_type = "text/plain";
        response.body = "no";
        return response;
    };
    EXPECT_EQ(test::exchange(port_, "GET / HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 422 Unprocessable Entity\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n"
              "Connection: close\r\n\r\nno");
}

TEST_F(RequestReading, StdExceptionFromHandlerGets500AndIsLogged) {
    reply = [](const HttpRequest&) -> HttpResponse { throw std::runtime_error("disk on fire"); };
    EXPECT_EQ(test::exchange(port_, "GET / HTTP/1.1\r\n\r\n"),
              error_bytes("500 Internal Server Error", "{\"error\":\"internal error\"}"));
    EXPECT_EQ(log_.count("ERR", "http: handler exception: disk on fire"), 1u);
}

TEST_F(RequestReading, NonStdExceptionFromHandlerGets500AndIsLogged) {
    reply = [](const HttpRequest&) -> HttpResponse { throw 42; };
    EXPECT_EQ(test::exchange(port_, "GET / HTTP/1.1\r\n\r\n"),
              error_bytes("500 Internal Server Error", "{\"error\":\"internal error\"}"));
    EXPECT_EQ(log_.count("ERR", "http: handler threw non-std exception"), 1u);
}

// Connections that are slow or silent, with the timeouts cut down for the test.
class SlowPeers : public test::ServerTest {
protected:
    void SetUp() override {
        HttpTimeouts timeouts;
        timeouts.receive_ms = 300;
        timeouts.header_deadline_ms = 900;
        start_server(timeouts);
    }
};

TEST_F(SlowPeers, ShortBodyAfterAPauseGets400AtTheReceiveTimeout) {
    RawClient client;
    ASSERT_TRUE(client.connect(port_));
    ASSERT_TRUE(client.send("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc"));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(client.read_all(), error_bytes("400 Bad Request", "{\"error\":\"short body\"}"));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(250));
}

TEST_F(SlowPeers, BodyTrickleWithinTheReceiveTimeoutIsRead) {
    RawClient client;
    ASSERT_TRUE(client.connect(port_));
    ASSERT_TRUE(client.send("POST / HTTP/1.1\r\nContent-Length: 6\r\n\r\n"));
    // 1.2 s in all, past the header deadline; the body phase only counts
    // each receive.
    ASSERT_TRUE(client.send_in_pieces("abcdef", 1, std::chrono::milliseconds(200)));
    EXPECT_EQ(client.read_all(), ok_reply);
    EXPECT_EQ(last_request().body, "abcdef");
}

TEST_F(SlowPeers, SilentClientIsClosedWithoutReply) {
    RawClient client;
    ASSERT_TRUE(client.connect(port_));
    EXPECT_TRUE(client.closed_without_reply());
}

TEST_F(SlowPeers, HeaderTrickleIsClosedAtTheHeaderDeadline) {
    RawClient client;
    ASSERT_TRUE(client.connect(port_));
    const auto begin = std::chrono::steady_clock::now();
    // Each piece comes well within the receive timeout, but the block is not
    // done by the deadline.
    for (int i = 0; i < 12 && client.send("X"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(client.read_all(), "");
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(took, std::chrono::milliseconds(800));
    EXPECT_LT(took, std::chrono::milliseconds(3000));
    EXPECT_EQ(calls(), 0);
}

}  // namespace
}  // namespace tarn
