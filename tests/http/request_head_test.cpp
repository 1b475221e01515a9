// The request head parser on its own: request lines, header lines and
// Content-Length, without sockets.
#include "http/request_head.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "http/http_server.h"

namespace tarn {
namespace {

// "<method> <path> <content length>[ chunked][ gzip|other-coding][ 100-continue]"
// of a block that parses; else the status and body of its error reply.
std::string parse(const std::string& block) {
    HttpRequest request;
    RequestFraming framing;
    framing.content_length = 99;
    const HeadError error = parse_request_head(block, request, framing);
    if (error == HeadError::none) {
        std::string text = request.method + " " + request.path + " " + std::to_string(framing.content_length);
        if (framing.chunked) text += " chunked";
        if (framing.content_coding == ContentCoding::gzip) text += " gzip";
        if (framing.content_coding == ContentCoding::unsupported) text += " other-coding";
        if (framing.expect_continue) text += " 100-continue";
        return text;
    }
    const HttpResponse reply = head_error_reply(error);
    return std::to_string(reply.status) + " " + reply.body;
}

// The request line needs a method and a target only. Content-Length is read
// as strtoul reads base 10 into 32 bits; the limit is tested at its value and
// one past it; without the header there is no body. Transfer-Encoding
// chunked wins over Content-Length, whatever it says; any other transfer
// coding is not implemented. Coding names and the expectation ignore case.
TEST(RequestHead, RequestLineAndHowTheBodyIsFramed) {
    const std::string line = R"(400 {"error":"bad request line"})", length = R"(400 {"error":"bad content-length"})";
    const std::string too_large = R"(413 {"error":"payload too large"})", post = "POST / HTTP/1.1\r\nContent-Length: ";
    const std::string not_implemented = R"(501 {"error":"unsupported transfer encoding"})";
    const std::string at_limit = std::to_string(http_max_body_bytes), te = "POST / HTTP/1.1\r\nTransfer-Encoding: ";
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"GET", line}, {"", line}, {"   \r\nHost: x", line}, {"\r\nGET / HTTP/1.1", line},
        {"GET /x", "GET /x 0"}, {"get /x HTTP/1.0", "get /x 0"}, {"  POST\t/y  any thing", "POST /y 0"},
        {"GET /q?a=1 HTTP/1.1\r\nHost: h", "GET /q?a=1 0"},
        {post + "5", "POST / 5"}, {post + "\t+5 \t", "POST / 5"}, {post + "12abc", "POST / 12"}, {post + "0", "POST / 0"},
        {post + at_limit, "POST / " + at_limit}, {post + std::to_string(http_max_body_bytes + 1), too_large},
        {post + "-1", too_large}, {post + "4294967296", too_large}, {post, length}, {post + "abc", length},
        {post + "abc\r\nContent-Length: 7", "POST / 7"},  // the last one counts
        {te + "chunked", "POST / 0 chunked"}, {te + "Chunked\r\nContent-Length: 5", "POST / 0 chunked"},
        {post + "x\r\nTransfer-Encoding: chunked", "POST / 0 chunked"},
        {post + "5000000\r\nTransfer-Encoding: CHUNKED", "POST / 0 chunked"},
        {te + "gzip, chunked", not_implemented}, {te + "gzip", not_implemented}, {te + "identity", not_implemented},
        {te + "chunked\r\nTransfer-Encoding: chunked", not_implemented}, {te, not_implemented},
        {post + "3\r\nContent-Encoding: GZIP", "POST / 3 gzip"}, {post + "3\r\nContent-Encoding: x-gzip", "POST / 3 gzip"},
        {post + "3\r\nContent-Encoding: identity", "POST / 3"}, {post + "3\r\nContent-Encoding: br", "POST / 3 other-coding"},
        {post + "3\r\nContent-Encoding: gzip, br", "POST / 3 other-coding"},
        {post + "3\r\nExpect: 100-Continue", "POST / 3 100-continue"}, {post + "3\r\nExpect: 200-ok", "POST / 3"}
    };
    // clang-format on
    for (const auto& [block, parsed] : cases) EXPECT_EQ(parse(block), parsed) << block;
}

TEST(RequestHead, HeaderLinesSplitAtTheFirstColonAreTrimmedAndTheLastDuplicateWins) {
    HttpRequest request;
    RequestFraming framing;
    ASSERT_EQ(parse_request_head("POST / HTTP/1.1\r\nX-Note: a:b: c \r\nno colon here\r\n Lead:\t v\t \r\n"
                                 "X-A: 1\r\nContent-Length: x\r\nx-a: 2\r\nCONTENT-length: 3",
                                 request, framing),
              HeadError::none);
    EXPECT_EQ(request.headers, (std::map<std::string, std::string>{
                                   {" lead", "v"}, {"content-length", "3"}, {"x-a", "2"}, {"x-note", "a:b: c"}}));
    EXPECT_EQ(framing.content_length, 3u);
}

}  // namespace
}  // namespace tarn
