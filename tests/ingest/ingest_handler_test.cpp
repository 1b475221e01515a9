// The ingest endpoint's routing, token check, turns and replies, with the
// batch write and the database's readiness replaced by stand-ins that return
// a chosen outcome.
#include "ingest/ingest_handler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "json/json_writer.h"
#include "metrics/metrics.h"
#include "test_env.h"

namespace tarn {
namespace {

using namespace std::chrono_literals;

HttpRequest request(const std::string& method, const std::string& path, const std::string& body,
                    const std::string& token) {
    using Headers = std::map<std::string, std::string>;
    return {method, path, body, token.empty() ? Headers{} : Headers{{"x-tarn-token", token}}, {}};
}

HttpRequest ingest_post(const std::string& body = "{}") { return request("POST", "/api/ingest", body, ""); }

std::string status_and_body(const HttpResponse& response) {
    EXPECT_EQ(response.content_type, "application/json");
    return std::to_string(response.status) + " " + response.body;
}

// Answers a chosen state and counts the questions.
struct StandInReadiness : DbReadiness {
    DbState readiness() override {
        ++asked;
        return state;
    }
    DbState last_known() const override { return state; }

    DbState state{true, ""};
    int asked = 0;
};

class IngestHandler : public ::testing::Test {
protected:
    std::string handle(const HttpRequest& r, const std::string& token = "", BatchTurns* turns = nullptr) {
        return status_and_body(handle_ingest_request(r, token, writer, ready_, turns));
    }

    test::LogCapture log_;
    StandInReadiness ready_;
    std::atomic<int> writes_{0};
    BatchOutcome outcome_ = BatchOutcome::committed;
    IngestCounts counts_;
    bool client_gone_ = false;  // what the last write was told
    BatchWriter writer = [this](const JsonValue&, IngestCounts& counts, const std::function<bool()>& client_gone) {
        ++writes_;
        client_gone_ = client_gone && client_gone();
        counts = counts_;
        return outcome_;
    };
};

// Everything but a POST to /api/ingest with the right token is answered from
// the head alone, before any body is read: a client without the token
// trickling a body to /api/health held a connection for as long as it liked.
TEST_F(IngestHandler, RoutesAndTheTokenAreAnsweredFromTheHeadAndBadJsonBeforeAnyWrite) {
    const struct {
        std::string method, path, body, token, reply;
    } cases[] = {
        {"BREW", "/api/health", "{}", "", R"(200 {"ok":true})"},
        {"GET", "/api/health/", "", "", R"(404 {"error":"not found"})"},
        {"GET", "/api/health?x=1", "", "", R"(404 {"error":"not found"})"},
        {"post", "/api/ingest", "", "", R"(405 {"error":"use POST"})"},
        {"GET", "/api/ingest", "", "abc", R"(405 {"error":"use POST"})"},
        {"POST", "/api/ingest", "{}", "", R"(401 {"error":"unauthorized"})"},
        {"POST", "/api/ingest", "{}", "ABC", R"(401 {"error":"unauthorized"})"},
        {"POST", "/api/ingest", "{}", "xbc", R"(401 {"error":"unauthorized"})"},
        {"POST", "/api/ingest", "{}", "abx", R"(401 {"error":"unauthorized"})"},
        {"POST", "/api/ingest", "{}", "abcd", R"(401 {"error":"unauthorized"})"},
        {"POST", "/api/ingest", "{}", "ab", R"(401 {"error":"unauthorized"})"},
        {"POST", "/api/ingest", "{}", std::string("ab\0", 3), R"(401 {"error":"unauthorized"})"},
        {"POST", "/api/ingest", "", "abc", R"(422 {"error":"bad json","detail":"unexpected end"})"},
        {"POST", "/api/ingest", "[]", "abc", R"(422 {"error":"bad json","detail":"the batch must be a JSON object"})"},
        {"POST", "/api/ingest", R"({"a":"\u12G4"})", "abc", R"(422 {"error":"bad json","detail":"bad \\u hex"})"}};
    for (const auto& c : cases) {
        const HttpRequest r = request(c.method, c.path, c.body, c.token);
        EXPECT_EQ(handle(r, "abc"), c.reply) << c.method << ' ' << c.path;
        const std::optional<HttpResponse> at_head = check_ingest_head(r, "abc", ready_);
        EXPECT_EQ(at_head ? status_and_body(*at_head) : "none",
                  c.reply[0] == '4' && c.reply[1] == '2' ? "none" : c.reply)
            << c.method << ' ' << c.path;
    }
    EXPECT_EQ(writes_, 0);
    EXPECT_EQ(log_.count("[WRN] ingest: rejected (bad/missing token)\n"), 14);
    EXPECT_EQ(log_.count("[WRN] ingest: bad json: bad \\u hex\n"), 1);
    EXPECT_EQ(handle(ingest_post(), ""),
              R"(200 {"ok":true,"clients_upserted":0,"readings_inserted":0,"events_inserted":0})");
    EXPECT_EQ(writes_, 1) << "an empty configured token switches the check off";
    EXPECT_EQ(handle(request("POST", "/api/ingest", "{}", "k"), "k").substr(0, 3), "200") << "a one-byte token";
    EXPECT_FALSE(check_ingest_head(ingest_post(), "", ready_).has_value());
}

// GET /api/ready answers the database's readiness, and GET /metrics the
// counts after bringing that state up to date, without a token and from the
// head like health; another method gets 405 and asks nothing.
TEST_F(IngestHandler, ReadinessAndMetricsAreAnsweredFromTheHeadWithoutTheToken) {
    const struct {
        const char* method;
        DbState state;
        std::string reply;
    } cases[] = {
        // clang-format off
        {"GET", {true, ""}, R"(200 {"ok":true})"},
        {"GET", {false, "db connect failed: [HY000] \"x\"\n"},
         R"(503 {"ok":false,"error":"db connect failed: [HY000] \"x\"\n"})"},
        {"POST", {false, "down"}, R"(405 {"error":"use GET"})"}, {"HEAD", {true, ""}, R"(405 {"error":"use GET"})"}
        // clang-format on
    };
    for (const auto& c : cases) {
        ready_.state = c.state;
        ready_.asked = 0;
        const HttpRequest r = request(c.method, "/api/ready", "{}", "");
        EXPECT_EQ(handle(r, "abc"), c.reply) << c.method;
        EXPECT_EQ(status_and_body(check_ingest_head(r, "abc", ready_).value()), c.reply) << c.method;
        EXPECT_EQ(ready_.asked, c.method[0] == 'G' ? 2 : 0) << c.method;
    }
    ready_.asked = 0;
    const std::optional<HttpResponse> scraped = check_ingest_head(request("GET", "/metrics", "", ""), "abc", ready_);
    ASSERT_TRUE(scraped.has_value());
    EXPECT_EQ(scraped->status, 200);
    EXPECT_EQ(scraped->content_type, "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_NE(scraped->body.find("\ntarn_ingest_db_up "), std::string::npos);
    EXPECT_EQ(ready_.asked, 1);
    EXPECT_EQ(handle(request("POST", "/metrics", "", "")), R"(405 {"error":"use GET"})");
    EXPECT_EQ(writes_, 0);
    EXPECT_EQ(log_.count("rejected"), 0);
}

// The kind of outcome, not the words of its text, decides between 422 (the
// batch can never be stored) and 503 (send it again later), and how the
// batch is counted; a stored batch counts its rows. The writer can ask
// whether the client is still there.
TEST_F(IngestHandler, OutcomeKindDecidesTheStatusAndTheCountAndTheWriterSeesTheClientGo) {
    Metrics& m = metrics();
    // Batches stored, invalid, unavailable and gone; rows of clients,
    // readings and events; batches timed within 5 ms, and in all.
    const auto counted = [&m] {
        std::vector<std::uint64_t> counts;
        for (BatchEnd end : {BatchEnd::stored, BatchEnd::invalid, BatchEnd::db_unavailable, BatchEnd::client_gone})
            counts.push_back(m.batches(end));
        for (Table table : {Table::clients, Table::readings, Table::events}) counts.push_back(m.rows(table));
        for (std::size_t bucket : {std::size_t{0}, DurationHistogram::bounds.size()})
            counts.push_back(m.batch_duration.cumulative(bucket));
        return counts;
    };
    const std::vector<std::uint64_t> before = counted();
    counts_ = IngestCounts{10, 3, 2, ""};
    HttpRequest gone = ingest_post();
    gone.client_gone = [] { return true; };
    EXPECT_EQ(handle(gone), R"(200 {"ok":true,"clients_upserted":2,"readings_inserted":10,"events_inserted":3})");
    EXPECT_TRUE(client_gone_);
    EXPECT_NE(m.last_stored_unix_seconds.value(), 0);
    // clang-format off
    const std::pair<BatchOutcome, std::string> outcomes[] = {
        {BatchOutcome::refused, "422"}, {BatchOutcome::unavailable, "503"}, {BatchOutcome::client_gone, "503"}};
    // clang-format on
    for (const auto& [outcome, status] : outcomes) {
        outcome_ = outcome;
        counts_.error = "insert readings: quote \" and\nline";
        EXPECT_EQ(handle(ingest_post()), status + " {\"error\":\"" + json_escape(counts_.error) + "\"}");
    }
    EXPECT_EQ(handle(ingest_post("[")), R"(422 {"error":"bad json","detail":"unexpected end"})");
    EXPECT_EQ(handle(request("GET", "/api/health", "", "")), R"(200 {"ok":true})") << "no batch";
    std::vector<std::uint64_t> grown = counted();
    for (std::size_t i = 0; i < grown.size(); ++i) grown[i] -= before[i];
    EXPECT_EQ(grown, (std::vector<std::uint64_t>{1, 2, 1, 1, 2, 10, 3, 5, 5}));
}

// With the database hung, every batch used to wait without end, and a burst
// of uploads held one parsed tree each while they queued. At most two
// batches are in memory and one is written at a time. The service's own
// wait for a turn could be cut to a millisecond and no regular test noticed,
// though then every batch that arrived while another was written got 503:
// with it, batches that arrive together are all written, one after the
// other. One that gets no turn in time is answered 503 and writes nothing,
// and when the server begins to stop, waiting batches are answered at once.
TEST_F(IngestHandler, BatchesTakeTurnsAndOneWithoutItsTurnInTimeOrAtStopGets503AndWritesNothing) {
    BatchTurns turns;
    EXPECT_EQ(turns.wait_limit, 30s);
    test::Event gates[2];  // the first four writes wait at the first, the fifth at the second
    writer = [&](const JsonValue&, IngestCounts&, const std::function<bool()>&) {
        gates[writes_++ < 4 ? 0 : 1].wait();
        return BatchOutcome::committed;
    };
    std::vector<std::thread> gateways;
    for (int i = 0; i < 4; ++i)
        gateways.emplace_back([&] { EXPECT_EQ(handle(ingest_post(), "", &turns).substr(0, 3), "200"); });
    ASSERT_TRUE(test::eventually([&] { return turns.writing.waiting() == 1 && turns.in_memory.waiting() == 2; }));
    gates[0].set();
    for (std::thread& gateway : gateways) gateway.join();
    EXPECT_EQ(writes_, 4);

    turns.wait_limit = 300ms;
    std::thread hung([&] { EXPECT_EQ(handle(ingest_post(), "", &turns).substr(0, 3), "200"); });
    ASSERT_TRUE(test::eventually([&] { return writes_ == 5; }));
    Metrics& m = metrics();
    const std::uint64_t busy = m.batches(BatchEnd::db_busy), stopped = m.batches(BatchEnd::stopping);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(handle(ingest_post(), "", &turns), R"(503 {"error":"database busy"})");
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 300ms);
    EXPECT_EQ(log_.count("[WRN] ingest: batch did not get its turn for the database in time; answered 503\n"), 1);

    // One batch waits for the writing turn; the next, not even parsed, for a
    // place among the two in memory; both are let go when the service stops.
    turns.wait_limit = 60s;
    const HttpRequest waiting = ingest_post(), unparsed = ingest_post("not json");
    std::thread second([&] { EXPECT_EQ(handle(waiting, "", &turns), R"(503 {"error":"server stopping"})"); });
    ASSERT_TRUE(test::eventually([&] { return turns.writing.waiting() == 1; }));
    std::thread third([&] { EXPECT_EQ(handle(unparsed, "", &turns), R"(503 {"error":"server stopping"})"); });
    ASSERT_TRUE(test::eventually([&] { return turns.in_memory.waiting() == 1; }));
    EXPECT_EQ(m.batches_waiting.value(), 2);
    turns.stop();
    third.join();
    second.join();
    gates[1].set();
    hung.join();
    EXPECT_EQ(writes_, 5);
    EXPECT_EQ(m.batches_waiting.value(), 0);
    EXPECT_EQ(m.batches(BatchEnd::db_busy) - busy, 1u);
    EXPECT_EQ(m.batches(BatchEnd::stopping) - stopped, 2u);
}

}  // namespace
}  // namespace tarn
