// The ingest endpoint's routing, token check and replies, with the batch
// write replaced by a recording stand-in.
#include "ingest/ingest_handler.h"

#include <gtest/gtest.h>

#include <vector>

#include "ingest/token_compare.h"

namespace tarn {
namespace {

HttpRequest request(const std::string& method, const std::string& path, const std::string& body = "",
                    const std::string& token = "") {
    HttpRequest r;
    r.method = method;
    r.path = path;
    r.body = body;
    if (!token.empty()) r.headers["x-tarn-token"] = token;
    return r;
}

class IngestHandler : public ::testing::Test {
protected:
    HttpResponse handle(const HttpRequest& r, const std::string& token = "") {
        return handle_ingest_request(r, token, [this](const JsonValue& root, IngestCounts& counts) {
            ++writes_;
            last_root_type_ = root.type;
            counts = outcome_;
            return ok_;
        });
    }

    int writes_ = 0;
    JsonType last_root_type_ = JsonType::Null;
    bool ok_ = true;
    IngestCounts outcome_;
};

TEST_F(IngestHandler, RoutesByExactPathAndMethod) {
    struct Case {
        std::string method, path;
        int status;
        std::string body;
    };
    const Case cases[] = {
        {"GET", "/api/health", 200, R"({"ok":true})"},
        {"POST", "/api/health", 200, R"({"ok":true})"},
        {"BREW", "/api/health", 200, R"({"ok":true})"},
        {"GET", "/api/health/", 404, R"({"error":"not found"})"},
        {"GET", "/api/health?x=1", 404, R"({"error":"not found"})"},
        {"GET", "/API/HEALTH", 404, R"({"error":"not found"})"},
        {"GET", "/api/ingest", 405, R"({"error":"use POST"})"},
        {"post", "/api/ingest", 405, R"({"error":"use POST"})"},
    };
    for (const auto& c : cases) {
        const HttpResponse response = handle(request(c.method, c.path), "token-needed");
        EXPECT_EQ(response.status, c.status) << c.method << ' ' << c.path;
        EXPECT_EQ(response.body, c.body) << c.method << ' ' << c.path;
        EXPECT_EQ(response.content_type, "application/json");
    }
    EXPECT_EQ(writes_, 0);
}

TEST_F(IngestHandler, TokenMustMatchExactlyWhenConfigured) {
    EXPECT_EQ(handle(request("POST", "/api/ingest", "{}"), "").status, 200) << "empty token: check off";
    EXPECT_EQ(handle(request("POST", "/api/ingest", "{}", "abc"), "abc").status, 200);
    for (const std::string& presented : std::vector<std::string>{"", "ABC", "ab", "abcd", "abd", std::string("ab\0", 3)}) {
        const HttpResponse response = handle(request("POST", "/api/ingest", "{}", presented), "abc");
        EXPECT_EQ(response.status, 401) << presented;
        EXPECT_EQ(response.body, R"({"error":"unauthorized"})");
    }
    EXPECT_EQ(writes_, 2);
}

TEST_F(IngestHandler, TokenComparisonMatchesPlainEquality) {
    const std::string values[] = {"", "a", "b", "ab", "abc", "abcd", "xbc", "abx", std::string("a\0c", 3)};
    for (const auto& presented : values) {
        for (const auto& expected : values) {
            EXPECT_EQ(token_matches(presented, expected), presented == expected) << presented << '|' << expected;
        }
    }
}

TEST_F(IngestHandler, BadJsonIsAnswered422WithEscapedDetail) {
    struct Case {
        std::string body, reply;
    };
    const Case cases[] = {
        {"", R"({"error":"bad json","detail":"unexpected end"})"},
        {"[]", R"({"error":"bad json","detail":""})"},
        {"{} x", R"({"error":"bad json","detail":"trailing garbage"})"},
        {R"({"a":"\u12G4"})", R"({"error":"bad json","detail":"bad \\u hex"})"},
    };
    for (const auto& c : cases) {
        const HttpResponse response = handle(request("POST", "/api/ingest", c.body));
        EXPECT_EQ(response.status, 422) << c.body;
        EXPECT_EQ(response.body, c.reply) << c.body;
    }
    EXPECT_EQ(writes_, 0);
}

TEST_F(IngestHandler, FailedBatchIs422ForContentAnd503Otherwise) {
    struct Case {
        std::string error;
        int status;
        std::string body;
    };
    const Case cases[] = {
        {"reading missing required field", 422, R"({"error":"reading missing required field"})"},
        {"reading node_id out of range", 422, R"({"error":"reading node_id out of range"})"},
        {"event missing required field", 422, R"({"error":"event missing required field"})"},
        {"insert readings: [22007] Incorrect datetime value", 422,
         R"({"error":"insert readings: [22007] Incorrect datetime value"})"},
        {"upsert clients: [22001] Data too long", 422, R"({"error":"upsert clients: [22001] Data too long"})"},
        {"insert events: [22003] Out of range value", 422, R"({"error":"insert events: [22003] Out of range value"})"},
        {"db connect failed", 503, R"({"error":"db connect failed"})"},
        {"insert readings: [HY000] Lost connection", 503, R"({"error":"insert readings: [HY000] Lost connection"})"},
        {"commit failed: [22000] odd", 503, R"({"error":"commit failed: [22000] odd"})"},
        {"insert readings: [08S01] mentions [22007] later", 503,
         R"({"error":"insert readings: [08S01] mentions [22007] later"})"},
        {"", 503, R"({"error":""})"},
        {"quote \" and\nline", 503, R"({"error":"quote \" and\nline"})"},
    };
    ok_ = false;
    for (const auto& c : cases) {
        outcome_.error = c.error;
        const HttpResponse response = handle(request("POST", "/api/ingest", "{}"));
        EXPECT_EQ(response.status, c.status) << c.error;
        EXPECT_EQ(response.body, c.body) << c.error;
    }
}

TEST_F(IngestHandler, SuccessReplyCarriesTheThreeCounts) {
    outcome_.clients_upserted = 2;
    outcome_.readings_inserted = 10;
    outcome_.events_inserted = 0;
    const HttpResponse response = handle(request("POST", "/api/ingest", R"({"readings":[]})"));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, R"({"ok":true,"clients_upserted":2,"readings_inserted":10,"events_inserted":0})");
    EXPECT_EQ(last_root_type_, JsonType::Object);
}

}  // namespace
}  // namespace tarn
