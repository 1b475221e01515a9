// The ingest endpoint's routing, token check and replies, with the batch
// write replaced by a stand-in that returns a chosen outcome.
#include "ingest/ingest_handler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "json/json_writer.h"

namespace tarn {
namespace {

struct Case {
    std::string method, path, body, token;
    int status;
    std::string reply;
};

class IngestHandler : public ::testing::Test {
protected:
    void expect_replies(const std::vector<Case>& cases, const std::string& configured_token) {
        for (const Case& c : cases) {
            HttpRequest request;
            request.method = c.method;
            request.path = c.path;
            request.body = c.body;
            if (!c.token.empty()) request.headers["x-tarn-token"] = c.token;
            const HttpResponse response =
                handle_ingest_request(request, configured_token, [this](const JsonValue&, IngestCounts& counts) {
                    ++writes_;
                    counts = outcome_;
                    return outcome_.error.empty();
                });
            EXPECT_EQ(response.status, c.status) << c.method << ' ' << c.path << ' ' << c.body;
            EXPECT_EQ(response.body, c.reply) << c.method << ' ' << c.path << ' ' << c.body;
            EXPECT_EQ(response.content_type, "application/json");
        }
    }

    int writes_ = 0;
    IngestCounts outcome_;
};

TEST_F(IngestHandler, RoutesTokenAndBadJsonAreAnsweredBeforeAnyWrite) {
    expect_replies({{"BREW", "/api/health", "", "", 200, R"({"ok":true})"},
                    {"GET", "/api/health/", "", "", 404, R"({"error":"not found"})"},
                    {"GET", "/api/health?x=1", "", "", 404, R"({"error":"not found"})"},
                    {"post", "/api/ingest", "", "", 405, R"({"error":"use POST"})"},
                    {"POST", "/api/ingest", "{}", "", 401, R"({"error":"unauthorized"})"},
                    {"POST", "/api/ingest", "{}", "ABC", 401, R"({"error":"unauthorized"})"},
                    {"POST", "/api/ingest", "{}", "abcd", 401, R"({"error":"unauthorized"})"},
                    {"POST", "/api/ingest", "{}", "ab", 401, R"({"error":"unauthorized"})"},
                    {"POST", "/api/ingest", "{}", "abx", 401, R"({"error":"unauthorized"})"},
                    {"POST", "/api/ingest", "{}", std::string("ab\0", 3), 401, R"({"error":"unauthorized"})"},
                    {"POST", "/api/ingest", "", "abc", 422, R"({"error":"bad json","detail":"unexpected end"})"},
                    {"POST", "/api/ingest", "[]", "abc", 422, R"({"error":"bad json","detail":""})"},
                    {"POST", "/api/ingest", R"({"a":"\u12G4"})", "abc", 422,
                     R"({"error":"bad json","detail":"bad \\u hex"})"}},
                   "abc");
    EXPECT_EQ(writes_, 0);
    expect_replies({{"POST", "/api/ingest", "{}", "", 200,
                     R"({"ok":true,"clients_upserted":0,"readings_inserted":0,"events_inserted":0})"}},
                   "");
    EXPECT_EQ(writes_, 1) << "an empty configured token switches the check off";
}

// A refused value (SQLSTATE class 22 right after the step name) can never
// succeed on a retry: 422, not the 503 that makes a gateway resend forever.
TEST_F(IngestHandler, DataExceptionFromTheDatabaseIs422NotRetryable503) {
    const std::pair<std::string, int> outcomes[] = {
        {"reading missing required field", 422},
        {"reading node_id out of range", 422},
        {"insert readings: [22007] Incorrect datetime value", 422},
        {"upsert clients: [22001] Data too long", 422},
        {"db connect failed", 503},
        {"insert readings: [HY000] Lost connection", 503},
        {"commit failed: [22000] odd", 503},
        {"insert readings: [08S01] mentions [22007] later", 503},
        {"quote \" and\nline", 503},
    };
    for (const auto& [error, status] : outcomes) {
        outcome_.error = error;
        expect_replies({{"POST", "/api/ingest", "{}", "", status, "{\"error\":\"" + json_escape(error) + "\"}"}}, "");
    }
}

TEST_F(IngestHandler, SuccessReplyCarriesTheThreeCounts) {
    outcome_.clients_upserted = 2;
    outcome_.readings_inserted = 10;
    expect_replies({{"POST", "/api/ingest", R"({"readings":[]})", "", 200,
                     R"({"ok":true,"clients_upserted":2,"readings_inserted":10,"events_inserted":0})"}},
                   "");
}

// A burst of large uploads used to hold one parsed tree per connection while
// they queued for the database; the gate bounds how many exist at once.
TEST(BatchGateTest, BurstOfBatchesIsParsedAndWrittenAtMostTwoAtATime) {
    BatchGate gate(concurrent_batches);
    std::atomic<int> inside{0}, most_inside{0};
    const BatchWriter slow_writer = [&](const JsonValue&, IngestCounts&) {
        const int now = ++inside;
        for (int seen = most_inside; now > seen && !most_inside.compare_exchange_weak(seen, now);) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        --inside;
        return true;
    };
    HttpRequest request;
    request.method = "POST";
    request.path = "/api/ingest";
    request.body = "{}";
    std::vector<std::thread> uploads;
    for (int i = 0; i < 8; ++i) {
        uploads.emplace_back([&] { EXPECT_EQ(handle_ingest_request(request, "", slow_writer, &gate).status, 200); });
    }
    for (auto& upload : uploads) upload.join();
    EXPECT_LE(most_inside.load(), 2);
}

}  // namespace
}  // namespace tarn
