// The metrics on their own: what each count does to the Prometheus text.
#include "metrics/metrics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <sstream>
#include <string>

#include "metrics/http_metrics.h"
#include "tarn/build_config.h"

namespace tarn {
namespace {

// The samples of `text` whose line starts with `prefix`, one per line.
std::string samples(const std::string& text, const std::string& prefix) {
    std::istringstream lines(text);
    std::string line, found;
    while (std::getline(lines, line)) {
        if (line.rfind(prefix, 0) == 0) found += line + "\n";
    }
    return found;
}

// Every family is exported from the start, with its help and type, and
// every label value it lists: a scraper sees each series before it counts.
// (promtool checks the text's form in the end-to-end test.)
TEST(Metrics, EverySeriesIsThereFromTheStart) {
    const std::string text = Metrics().render();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'),
              2 * 14 /* HELP and TYPE of each family */ + 5 * 11 /* routes x statuses */ + 6 /* batch outcomes */ +
                  3 /* tables */ + 1 /* body bytes */ + 14 + 2 /* buckets, sum and count */ + 0 /* db errors */ +
                  2 /* connect results */ + 2 /* gauges */ + 3 /* refusals */ + 4 /* the rest */);
    EXPECT_EQ(samples(text, "# TYPE tarn_ingest_batch_duration_seconds "),
              "# TYPE tarn_ingest_batch_duration_seconds histogram\n");
    std::string each_code;  // every status the server sends, for each route
    for (const char* code : {"200", "400", "401", "404", "405", "413", "415", "422", "500", "501", "503"})
        each_code += std::string("tarn_ingest_http_requests_total{route=\"other\",code=\"") + code + "\"} 0\n";
    EXPECT_EQ(samples(text, "tarn_ingest_http_requests_total{route=\"other\""), each_code);
    EXPECT_EQ(samples(text, "tarn_ingest_build_info"), "tarn_ingest_build_info{version=\"" TARN_VERSION "\"} 1\n");
    const double started = std::stod(samples(text, "process_start_time_seconds ").substr(27));
    const double now = static_cast<double>(std::time(nullptr)) + 1;
    EXPECT_TRUE(started <= now && started > now - 3600) << started << " at " << now;
}

// A duration at a bucket's bound falls in that bucket; the buckets are
// cumulative, and +Inf, _count and _sum take every observation.
TEST(Metrics, DurationsFallInTheFirstBucketWhoseBoundTheyDoNotPass) {
    Metrics m;
    for (const double seconds : {0.005, 0.0051, 0.05, 60.0, 61.0}) m.batch_duration.observe(seconds);
    std::string expected;
    const std::pair<const char*, int> buckets[] = {{"0.005", 1}, {"0.01", 2}, {"0.025", 2}, {"0.05", 3}, {"0.1", 3},
                                                   {"0.25", 3},  {"0.5", 3},  {"1", 3},     {"2.5", 3},  {"5", 3},
                                                   {"10", 3},    {"30", 3},   {"60", 4},    {"+Inf", 5}};
    for (const auto& [bound, count] : buckets) {
        expected += "tarn_ingest_batch_duration_seconds_bucket{le=\"" + std::string(bound) + "\"} " +
                    std::to_string(count) + "\n";
    }
    EXPECT_EQ(samples(m.render(), "tarn_ingest_batch_duration_seconds"),
              expected +
                  "tarn_ingest_batch_duration_seconds_sum 121.06010000000001\n"
                  "tarn_ingest_batch_duration_seconds_count 5\n");
}

// Each count shows in its own series, and in no other: replies by route
// (the path as sent, so a query string is another route) and status (one
// outside the service's set counts as 500), refusals, connections and body
// bytes through the server's observer; database errors by the class of
// their SQLSTATE.
TEST(Metrics, EveryCountShowsInItsSeries) {
    Metrics m;
    HttpMetrics http(m);
    // clang-format off
    const std::pair<const char*, int> replies[] = {{"/api/ingest", 200}, {"/api/ingest", 200}, {"/api/health", 200},
        {"/api/ready", 503}, {"/metrics", 405}, {"/api/health?x=1", 404}, {"", 400}, {"/api/ingest", 299}};
    // clang-format on
    for (const auto& [path, status] : replies) http.replied(path, status);
    for (const HttpRefusal why : {HttpRefusal::address_busy, HttpRefusal::memory_busy, HttpRefusal::memory_busy})
        http.refused(why);
    http.connection_opened();
    http.connection_opened();
    http.connection_closed();
    http.body_received(1234);
    for (const char* state : {"08S01", "08001", "HY000", ""}) m.count_db_error(state);
    for (const bool ok : {true, false, false}) m.count_db_connect(ok);
    m.count_batch(BatchEnd::stored);
    m.count_batch(BatchEnd::client_gone);
    m.count_rows(Table::readings, 10);
    m.count_rows(Table::events, 2);
    m.db_up.set(1);
    m.last_stored_unix_seconds.set(1700000000);
    std::istringstream lines(m.render());
    std::string counted;
    for (std::string line; std::getline(lines, line);) {
        if (line[0] != '#' && line.substr(line.size() - 2) != " 0" && line.rfind("tarn_ingest_build", 0) != 0 &&
            line.rfind("process_", 0) != 0)
            counted += line + "\n";
    }
    EXPECT_EQ(counted,
              "tarn_ingest_http_requests_total{route=\"ingest\",code=\"200\"} 2\n"
              "tarn_ingest_http_requests_total{route=\"ingest\",code=\"500\"} 1\n"
              "tarn_ingest_http_requests_total{route=\"health\",code=\"200\"} 1\n"
              "tarn_ingest_http_requests_total{route=\"ready\",code=\"503\"} 1\n"
              "tarn_ingest_http_requests_total{route=\"metrics\",code=\"405\"} 1\n"
              "tarn_ingest_http_requests_total{route=\"other\",code=\"400\"} 1\n"
              "tarn_ingest_http_requests_total{route=\"other\",code=\"404\"} 1\n"
              "tarn_ingest_batches_total{outcome=\"stored\"} 1\n"
              "tarn_ingest_batches_total{outcome=\"client_gone\"} 1\n"
              "tarn_ingest_rows_total{table=\"readings\"} 10\n"
              "tarn_ingest_rows_total{table=\"events\"} 2\n"
              "tarn_ingest_request_body_bytes_total 1234\n"
              "tarn_ingest_db_errors_total{sqlstate_class=\"08\"} 2\n"
              "tarn_ingest_db_errors_total{sqlstate_class=\"HY\"} 1\n"
              "tarn_ingest_db_errors_total{sqlstate_class=\"unknown\"} 1\n"
              "tarn_ingest_db_connects_total{result=\"ok\"} 1\n"
              "tarn_ingest_db_connects_total{result=\"failed\"} 2\n"
              "tarn_ingest_connections_open 1\n"
              "tarn_ingest_connections_refused_total{reason=\"address_busy\"} 1\n"
              "tarn_ingest_connections_refused_total{reason=\"memory_busy\"} 2\n"
              "tarn_ingest_db_up 1\n"
              "tarn_ingest_last_stored_timestamp_seconds 1700000000\n");
}

}  // namespace
}  // namespace tarn
