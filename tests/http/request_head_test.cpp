// The request head parser on its own: request lines, header lines and
// Content-Length, without sockets.
#include "http/request_head.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "http/http_server.h"

namespace tarn {
namespace {

using Headers = std::map<std::string, std::string>;

struct Parsed {
    HeadError error;
    std::string method_path;
    std::uint32_t content_length;
};

Parsed parse(const std::string& block) {
    HttpRequest request;
    std::uint32_t length = 99;
    const HeadError error = parse_request_head(block, request, length);
    return {error, request.method + " " + request.path, length};
}

TEST(RequestHead, RequestLineNeedsAMethodAndATargetOnly) {
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {  // block, method and path (none: bad request line)
        {"GET", nullptr}, {"", nullptr}, {"   \r\nHost: x", nullptr}, {"\r\nGET / HTTP/1.1", nullptr},
        {"GET /x", "GET /x"}, {"get /x HTTP/1.0", "get /x"}, {"  POST\t/y  any thing", "POST /y"},
        {"GET /q?a=1 HTTP/1.1\r\nHost: h", "GET /q?a=1"}};
    // clang-format on
    for (const auto& [block, seen] : cases) {
        const Parsed p = parse(block);
        EXPECT_EQ(p.error, seen ? HeadError::none : HeadError::bad_request_line) << block;
        if (seen) {
            EXPECT_EQ(p.method_path, seen) << block;
        }
    }
}

TEST(RequestHead, HeaderLinesSplitAtTheFirstColonAreTrimmedAndTheLastDuplicateWins) {
    HttpRequest request;
    std::uint32_t length = 0;
    ASSERT_EQ(parse_request_head("POST / HTTP/1.1\r\nX-Note: a:b: c \r\nno colon here\r\n Lead:\t v\t \r\n"
                                 "X-A: 1\r\nContent-Length: x\r\nx-a: 2\r\nCONTENT-length: 3",
                                 request, length),
              HeadError::none);
    EXPECT_EQ(request.headers, (Headers{{" lead", "v"}, {"content-length", "3"}, {"x-a", "2"}, {"x-note", "a:b: c"}}));
    EXPECT_EQ(length, 3u);
}

// Content-Length is read as strtoul reads base 10 into 32 bits; the limit
// is tested at its value and one past it.
TEST(RequestHead, ContentLengthIsReadLikeStrtoulUpToTheLimit) {
    const std::string at_limit = std::to_string(http_max_body_bytes);
    const std::string past_limit = std::to_string(http_max_body_bytes + 1);
    // clang-format off
    const struct {
        std::string value;
        HeadError error;
        std::uint32_t length;
    } cases[] = {
        {"5", HeadError::none, 5},           {"\t+5 \t", HeadError::none, 5},  {"12abc", HeadError::none, 12},
        {"0", HeadError::none, 0},           {at_limit, HeadError::none, http_max_body_bytes},
        {past_limit, HeadError::too_large, 0}, {"-1", HeadError::too_large, 0}, {"4294967296", HeadError::too_large, 0},
        {"", HeadError::bad_content_length, 0}, {"abc", HeadError::bad_content_length, 0}
    };
    // clang-format on
    for (const auto& c : cases) {
        const Parsed p = parse("POST / HTTP/1.1\r\nContent-Length: " + c.value);
        EXPECT_EQ(p.error, c.error) << c.value;
        if (c.error == HeadError::none) {
            EXPECT_EQ(p.content_length, c.length) << c.value;
        }
    }
    EXPECT_EQ(parse("GET / HTTP/1.1").content_length, 0u) << "no header: no body";
    EXPECT_EQ(parse("POST / HTTP/1.1\r\nContent-Length: abc\r\nContent-Length: 7").error, HeadError::none)
        << "a later Content-Length overrides an earlier one";
}

}  // namespace
}  // namespace tarn
