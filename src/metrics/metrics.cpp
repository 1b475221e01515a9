// The service's counters and their Prometheus text.
#include "metrics/metrics.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "tarn/build_config.h"

namespace tarn {
namespace {

// Taken when the program is loaded, before main runs.
const double process_start_seconds =
    std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();

constexpr const char* route_names[] = {"ingest", "health", "ready", "metrics", "other"};
constexpr const char* batch_end_names[] = {"stored", "invalid", "db_unavailable", "db_busy", "stopping", "client_gone"};
constexpr const char* table_names[] = {"clients", "readings", "events"};
constexpr const char* refusal_names[] = {"server_busy", "address_busy", "memory_busy"};

std::size_t status_index(int status) {
    for (std::size_t i = 0; i < Metrics::statuses.size(); ++i) {
        if (Metrics::statuses[i] == status) return i;
    }
    return status_index(500);
}

std::string sqlstate_class(std::string_view sqlstate) {
    return sqlstate.size() >= 2 ? std::string(sqlstate.substr(0, 2)) : "unknown";
}

// Appends the HELP and TYPE lines of one metric family.
void family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// Appends one sample: the name, its labels as written (may be empty), the value.
void sample(std::string& out, const char* name, const std::string& labels, double value) {
    char number[32];
    std::snprintf(number, sizeof number, "%.17g", value);
    out += name;
    if (!labels.empty()) out += "{" + labels + "}";
    out += ' ';
    out += number;
    out += '\n';
}

std::string label(const char* name, const std::string& value) { return std::string(name) + "=\"" + value + "\""; }

}  // namespace

void DurationHistogram::observe(double seconds) noexcept {
    std::size_t i = 0;
    while (i < bounds.size() && seconds > bounds[i]) ++i;
    buckets_[i].add();
    sum_us_.add(static_cast<std::uint64_t>(std::llround(std::max(seconds, 0.0) * 1e6)));
}

std::uint64_t DurationHistogram::cumulative(std::size_t i) const noexcept {
    std::uint64_t total = 0;
    for (std::size_t b = 0; b <= i && b < buckets_.size(); ++b) total += buckets_[b].value();
    return total;
}

Route route_of(std::string_view path) {
    if (path == "/api/ingest") return Route::ingest;
    if (path == "/api/health") return Route::health;
    if (path == "/api/ready") return Route::ready;
    if (path == "/metrics") return Route::metrics;
    return Route::other;
}

void Metrics::count_request(Route route, int status) noexcept {
    requests_[static_cast<std::size_t>(route)][status_index(status)].add();
}

void Metrics::count_db_error(std::string_view sqlstate) {
    const std::lock_guard<std::mutex> lock(db_errors_mutex_);
    ++db_errors_[sqlstate_class(sqlstate)];
}

std::string Metrics::render() const {
    std::string out;
    family(out, "tarn_ingest_http_requests_total", "counter", "HTTP requests answered, by route and status sent.");
    for (std::size_t r = 0; r < route_count; ++r) {
        for (std::size_t s = 0; s < statuses.size(); ++s) {
            sample(out, "tarn_ingest_http_requests_total",
                   label("route", route_names[r]) + "," + label("code", std::to_string(statuses[s])),
                   static_cast<double>(requests_[r][s].value()));
        }
    }
    family(out, "tarn_ingest_batches_total", "counter", "Batches that reached the service, by how they ended.");
    for (std::size_t i = 0; i < batches_.size(); ++i) {
        sample(out, "tarn_ingest_batches_total", label("outcome", batch_end_names[i]),
               static_cast<double>(batches_[i].value()));
    }
    family(out, "tarn_ingest_rows_total", "counter", "Rows written by stored batches, by table.");
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        sample(out, "tarn_ingest_rows_total", label("table", table_names[i]), static_cast<double>(rows_[i].value()));
    }
    family(out, "tarn_ingest_request_body_bytes_total", "counter", "Bytes of request bodies received.");
    sample(out, "tarn_ingest_request_body_bytes_total", "", static_cast<double>(body_bytes.value()));
    family(out, "tarn_ingest_batch_duration_seconds", "histogram",
           "Time from a batch's complete body to its reply, for batches whose content was checked.");
    for (std::size_t i = 0; i < DurationHistogram::bounds.size(); ++i) {
        char bound[32];
        std::snprintf(bound, sizeof bound, "%g", DurationHistogram::bounds[i]);
        sample(out, "tarn_ingest_batch_duration_seconds_bucket", label("le", bound),
               static_cast<double>(batch_duration.cumulative(i)));
    }
    const auto observed = static_cast<double>(batch_duration.cumulative(DurationHistogram::bounds.size()));
    sample(out, "tarn_ingest_batch_duration_seconds_bucket", label("le", "+Inf"), observed);
    sample(out, "tarn_ingest_batch_duration_seconds_sum", "", batch_duration.sum());
    sample(out, "tarn_ingest_batch_duration_seconds_count", "", observed);
    family(out, "tarn_ingest_db_errors_total", "counter",
           "Failed database connects and statements, by the class of their SQLSTATE.");
    {
        const std::lock_guard<std::mutex> lock(db_errors_mutex_);
        for (const auto& [state_class, count] : db_errors_) {
            sample(out, "tarn_ingest_db_errors_total", label("sqlstate_class", state_class),
                   static_cast<double>(count));
        }
    }
    family(out, "tarn_ingest_db_connects_total", "counter", "Database connects, by result.");
    sample(out, "tarn_ingest_db_connects_total", label("result", "ok"), static_cast<double>(db_connects_[0].value()));
    sample(out, "tarn_ingest_db_connects_total", label("result", "failed"),
           static_cast<double>(db_connects_[1].value()));
    family(out, "tarn_ingest_connections_open", "gauge", "Client connections being served.");
    sample(out, "tarn_ingest_connections_open", "", static_cast<double>(connections_open.value()));
    family(out, "tarn_ingest_batches_waiting", "gauge", "Batches waiting for their turn at the database.");
    sample(out, "tarn_ingest_batches_waiting", "", static_cast<double>(batches_waiting.value()));
    family(out, "tarn_ingest_connections_refused_total", "counter",
           "Connections and requests answered 503 \"server busy\", by reason.");
    for (std::size_t i = 0; i < refusals_.size(); ++i) {
        sample(out, "tarn_ingest_connections_refused_total", label("reason", refusal_names[i]),
               static_cast<double>(refusals_[i].value()));
    }
    family(out, "tarn_ingest_db_up", "gauge", "1 while the database can be reached, as /api/ready reports; else 0.");
    sample(out, "tarn_ingest_db_up", "", static_cast<double>(db_up.value()));
    family(out, "tarn_ingest_last_stored_timestamp_seconds", "gauge",
           "Unix time of the last stored batch; 0 before the first.");
    sample(out, "tarn_ingest_last_stored_timestamp_seconds", "", static_cast<double>(last_stored_unix_seconds.value()));
    family(out, "tarn_ingest_build_info", "gauge", "Always 1; the version of the running build is its label.");
    sample(out, "tarn_ingest_build_info", label("version", TARN_VERSION), 1);
    family(out, "process_start_time_seconds", "gauge", "Start time of the process since the Unix epoch in seconds.");
    sample(out, "process_start_time_seconds", "", process_start_seconds);
    return out;
}

Metrics& metrics() {
    static Metrics instance;
    return instance;
}

}  // namespace tarn
