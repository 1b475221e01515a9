// What the service has done, counted for monitoring: lock-free counters and
// gauges, one histogram, and their text in the Prometheus exposition format.
// Counts only: no token, no meter id, nothing a batch carries.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace tarn {

// A count that only grows. Any thread.
class Counter {
public:
    void add(std::uint64_t n = 1) noexcept { value_.fetch_add(n, std::memory_order_relaxed); }
    std::uint64_t value() const noexcept { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> value_{0};
};

// A value that goes up and down, or is set. Any thread.
class Gauge {
public:
    void set(std::int64_t value) noexcept { value_.store(value, std::memory_order_relaxed); }
    void add(std::int64_t n) noexcept { value_.fetch_add(n, std::memory_order_relaxed); }
    std::int64_t value() const noexcept { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::int64_t> value_{0};
};

// How long batches took, in seconds, counted into fixed buckets. Any thread.
class DurationHistogram {
public:
    // Upper bounds of the buckets, 5 ms to 60 s; one more bucket takes the rest.
    static constexpr std::array<double, 13> bounds{0.005, 0.01, 0.025, 0.05, 0.1,  0.25, 0.5,
                                                   1.0,   2.5,  5.0,   10.0, 30.0, 60.0};

    void observe(double seconds) noexcept;
    // Observations at or below bounds[i] (i < bounds.size()), or in all (i == bounds.size()).
    std::uint64_t cumulative(std::size_t i) const noexcept;
    double sum() const noexcept { return static_cast<double>(sum_us_.value()) / 1e6; }

private:
    std::array<Counter, bounds.size() + 1> buckets_;  // not cumulative
    Counter sum_us_;                                  // in microseconds: an integer adds without a loop
};

// Where a request went, by its path.
enum class Route { ingest, health, ready, metrics, other };
// The route of request path `path`; "other" for every path the service does
// not serve (and for a request without one).
Route route_of(std::string_view path);

// How a batch ended.
enum class BatchEnd { stored, invalid, db_unavailable, db_busy, stopping, client_gone };
enum class Table { clients, readings, events };
// Why a connection or a request was turned away with 503 "server busy".
enum class Refusal { server_busy, address_busy, memory_busy };

// Every series of the service. Any thread may count; render() may run at the
// same time.
class Metrics {
public:
    // The statuses the service sends; a request counted with another is
    // counted as 500 (none exists: the table is the whole set).
    static constexpr std::array<int, 11> statuses{200, 400, 401, 404, 405, 413, 415, 422, 500, 501, 503};

    void count_request(Route route, int status) noexcept;
    void count_batch(BatchEnd end) noexcept { batches_[static_cast<std::size_t>(end)].add(); }
    void count_rows(Table table, std::uint64_t rows) noexcept { rows_[static_cast<std::size_t>(table)].add(rows); }
    void count_refusal(Refusal refusal) noexcept { refusals_[static_cast<std::size_t>(refusal)].add(); }
    // A failed connect or statement, by the class of its SQLSTATE (the
    // first two characters); a failure without a state counts as "unknown".
    void count_db_error(std::string_view sqlstate);
    void count_db_connect(bool ok) noexcept { db_connects_[ok ? 0 : 1].add(); }

    Counter body_bytes;
    DurationHistogram batch_duration;
    Gauge connections_open;
    Gauge batches_waiting;
    Gauge db_up;
    Gauge last_stored_unix_seconds;

    // The whole exposition, text format 0.0.4.
    std::string render() const;

    // The count of one series, for tests.
    std::uint64_t batches(BatchEnd end) const noexcept { return batches_[static_cast<std::size_t>(end)].value(); }
    std::uint64_t rows(Table table) const noexcept { return rows_[static_cast<std::size_t>(table)].value(); }

private:
    static constexpr std::size_t route_count = 5;
    std::array<std::array<Counter, statuses.size()>, route_count> requests_;
    std::array<Counter, 6> batches_;
    std::array<Counter, 3> rows_;
    std::array<Counter, 3> refusals_;
    std::array<Counter, 2> db_connects_;
    mutable std::mutex db_errors_mutex_;
    std::map<std::string, std::uint64_t> db_errors_;  // by class; guarded by db_errors_mutex_
};

// The process's metrics, alive for the whole process. Any thread.
Metrics& metrics();

// The Content-Type of render()'s text.
constexpr const char* metrics_content_type = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace tarn
