// Reason phrases and the exact bytes of responses.
#include <gtest/gtest.h>

#include <string>

#include "http/http_message.h"
#include "http_test_util.h"

namespace tarn {
namespace {

TEST(ReasonPhrase, KnownStatusesHaveTheirPhraseAndOthersSayError) {
    const struct {
        std::int32_t status;
        const char* phrase;
    } cases[] = {
        {200, "OK"}, {201, "Created"}, {400, "Bad Request"}, {401, "Unauthorized"}, {404, "Not Found"},
        {405, "Method Not Allowed"}, {411, "Length Required"}, {413, "Payload Too Large"},
        {422, "Unprocessable Entity"}, {500, "Internal Server Error"}, {503, "Service Unavailable"},
        {299, "Error"}, {302, "Error"}, {0, "Error"}, {-1, "Error"},
    };
    for (const auto& c : cases) EXPECT_EQ(reason_phrase(c.status), c.phrase) << c.status;
}

TEST(ResponseBytes, DefaultResponseIsEmptyJson200) {
    EXPECT_EQ(serialize_response(HttpResponse{}),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 0\r\n"
              "Connection: close\r\n\r\n");
}

TEST(ResponseBytes, StatusContentTypeAndBodyAreWrittenAsGiven) {
    const struct {
        std::int32_t status;
        std::string content_type;
        std::string body;
        std::string expected;
    } cases[] = {
        {200, "application/json", "{\"ok\":true}",
         "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\nConnection: close\r\n\r\n"
         "{\"ok\":true}"},
        {201, "text/plain", "x", "HTTP/1.1 201 Created\r\nContent-Type: text/plain\r\nContent-Length: 1\r\n"
                                 "Connection: close\r\n\r\nx"},
        {302, "", "", "HTTP/1.1 302 Error\r\nContent-Type: \r\nContent-Length: 0\r\nConnection: close\r\n\r\n"},
        {-7, "a", "", "HTTP/1.1 -7 Error\r\nContent-Type: a\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"},
        {500, "application/json", std::string("a\0b\xc3\xa9", 5),
         std::string("HTTP/1.1 500 Internal Server Error\r\nContent-Type: application/json\r\nContent-Length: 5\r\n"
                     "Connection: close\r\n\r\na\0b\xc3\xa9",
                     113)},
    };
    for (const auto& c : cases) {
        HttpResponse response;
        response.status = c.status;
        response.content_type = c.content_type;
        response.body = c.body;
        EXPECT_EQ(serialize_response(response), c.expected) << c.status;
    }
}

class WriteResponse : public test::ServerTest {
protected:
    // A send to a gone peer may also just stall until the send timeout
    // (Winsock under Wine does); keep that short.
    void SetUp() override {
        HttpTimeouts timeouts;
        timeouts.send_ms = 1000;
        start_server(timeouts);
    }
};

TEST_F(WriteResponse, LargeBodyWithZeroBytesArrivesWhole) {
    std::string body(1 << 20, '\0');
    for (std::size_t i = 0; i < body.size(); i += 7) body[i] = static_cast<char>('a' + i % 26);
    reply = [&body](const HttpRequest&) {
        HttpResponse response;
        response.status = 201;
        response.content_type = "application/octet-stream";
        response.body = body;
        return response;
    };
    HttpResponse expected;
    expected.status = 201;
    expected.content_type = "application/octet-stream";
    expected.body = body;
    EXPECT_EQ(test::exchange(port_, "GET /big HTTP/1.1\r\n\r\n"), serialize_response(expected));
}

// Writing to a peer that has gone must end quietly, never with SIGPIPE.
TEST_F(WriteResponse, PeerThatHasGoneDoesNotKillTheProcess) {
    std::atomic<bool> replied{false};
    reply = [&replied](const HttpRequest&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        HttpResponse response;
        response.body.assign(8 << 20, 'x');
        replied = true;
        return response;
    };
    {
        test::RawClient client;
        ASSERT_TRUE(client.connect(port_));
        ASSERT_TRUE(client.send("GET /gone HTTP/1.1\r\n\r\n"));
    }  // closed before the reply is written
    ASSERT_TRUE(test::wait_until([&] { return replied.load() && server_->live_connections() == 0; }));
    EXPECT_EQ(send("GET /after HTTP/1.1\r\n\r\n").status, 200);
}

}  // namespace
}  // namespace tarn
