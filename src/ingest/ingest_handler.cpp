// The ingest endpoint: routing, token check, parse, batch write, JSON replies.
#include "ingest/ingest_handler.h"

#include <chrono>
#include <memory>
#include <optional>
#include <utility>

#include "ingest/token_compare.h"
#include "json/json_parser.h"
#include "json/json_writer.h"
#include "log/log.h"
#include "metrics/metrics.h"

namespace tarn {
namespace {

HttpResponse reply(std::int32_t status, std::string body) {
    HttpResponse response;
    response.status = status;
    response.body = std::move(body);
    response.content_type = "application/json";
    return response;
}

HttpResponse error_reply(std::int32_t status, const std::string& error) {
    return reply(status, "{\"error\":\"" + json_escape(error) + "\"}");
}

HttpResponse success_reply(const IngestCounts& counts) {
    std::string body = "{\"ok\":true";
    body += ",\"clients_upserted\":" + std::to_string(counts.clients_upserted);
    body += ",\"readings_inserted\":" + std::to_string(counts.readings_inserted);
    body += ",\"events_inserted\":" + std::to_string(counts.events_inserted);
    body += "}";
    return reply(200, std::move(body));
}

// The token test; logs a rejection. An empty configured token accepts all.
bool token_accepted(const HttpRequest& request, const std::string& token) {
    if (token.empty()) return true;
    const auto header = request.headers.find("x-tarn-token");
    if (header != request.headers.end() && token_matches(header->second, token)) return true;
    Log::write(LogLevel::Warn, "ingest: rejected (bad/missing token)");
    return false;
}

// The reply to a batch that did not get its turn.
HttpResponse turn_refused(BatchGate::Entry entry) {
    if (entry == BatchGate::Entry::stopping) {
        metrics().count_batch(BatchEnd::stopping);
        return error_reply(503, "server stopping");
    }
    metrics().count_batch(BatchEnd::db_busy);
    Log::write(LogLevel::Warn, "ingest: batch did not get its turn for the database in time; answered 503");
    return error_reply(503, "database busy");
}

// Waits for a place in `gate`, counted as a waiting batch meanwhile.
void wait_turn(std::optional<BatchGate::Pass>& pass, BatchGate& gate, BatchGate::Clock::time_point deadline) {
    metrics().batches_waiting.add(1);
    pass.emplace(gate, deadline);
    metrics().batches_waiting.add(-1);
}

HttpResponse stored_reply(const IngestCounts& counts) {
    Metrics& m = metrics();
    m.count_batch(BatchEnd::stored);
    m.count_rows(Table::clients, static_cast<std::uint64_t>(counts.clients_upserted));
    m.count_rows(Table::readings, static_cast<std::uint64_t>(counts.readings_inserted));
    m.count_rows(Table::events, static_cast<std::uint64_t>(counts.events_inserted));
    m.last_stored_unix_seconds.set(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
    return success_reply(counts);
}

// The reply to a batch that reached the content check, timed from its
// complete body.
HttpResponse timed(HttpResponse response, BatchGate::Clock::time_point received) {
    metrics().batch_duration.observe(std::chrono::duration<double>(BatchGate::Clock::now() - received).count());
    return response;
}

// 200 while the database can be reached; 503 with the reason when it cannot.
HttpResponse readiness_reply(DbReadiness& readiness) {
    const DbState state = readiness.readiness();
    if (state.up) return reply(200, "{\"ok\":true}");
    return reply(503, "{\"ok\":false,\"error\":\"" + json_escape(state.reason) + "\"}");
}

}  // namespace

std::optional<HttpResponse> check_ingest_head(const HttpRequest& head, const std::string& token,
                                              DbReadiness& readiness) {
    if (head.path == "/api/health") return reply(200, "{\"ok\":true}");
    if (head.path == "/metrics") {
        if (head.method != "GET") return error_reply(405, "use GET");
        // The database state is brought up to date first (a probe when it
        // is stale), so that tarn_ingest_db_up says what /api/ready would.
        readiness.readiness();
        HttpResponse response = reply(200, metrics().render());
        response.content_type = metrics_content_type;
        return response;
    }
    if (head.path == "/api/ready") {
        if (head.method != "GET") return error_reply(405, "use GET");
        return readiness_reply(readiness);
    }
    if (head.path != "/api/ingest") return error_reply(404, "not found");
    if (head.method != "POST") return error_reply(405, "use POST");
    if (!token_accepted(head, token)) return error_reply(401, "unauthorized");
    return std::nullopt;
}

HttpResponse handle_ingest_request(const HttpRequest& request, const std::string& token, const BatchWriter& write_batch,
                                   DbReadiness& readiness, BatchTurns* turns) {
    if (std::optional<HttpResponse> answered = check_ingest_head(request, token, readiness)) return *answered;

    const BatchGate::Clock::time_point received = BatchGate::Clock::now();
    const BatchGate::Clock::time_point deadline =
        received + (turns != nullptr ? turns->wait_limit : BatchTurns::default_wait_limit);
    std::optional<BatchGate::Pass> in_memory;
    if (turns != nullptr) {
        wait_turn(in_memory, turns->in_memory, deadline);
        if (in_memory->entry() != BatchGate::Entry::entered) return turn_refused(in_memory->entry());
    }
    JsonValue root;
    std::string parse_error;
    const bool parsed = parse_json(request.body, root, parse_error);
    if (parsed && root.type != JsonType::Object) parse_error = "the batch must be a JSON object";
    if (!parsed || root.type != JsonType::Object) {
        Log::write(LogLevel::Warn, "ingest: bad json: %s", parse_error.c_str());
        metrics().count_batch(BatchEnd::invalid);
        return timed(reply(422, "{\"error\":\"bad json\",\"detail\":\"" + json_escape(parse_error) + "\"}"), received);
    }

    std::optional<BatchGate::Pass> writing;
    if (turns != nullptr) {
        wait_turn(writing, turns->writing, deadline);
        if (writing->entry() != BatchGate::Entry::entered) return timed(turn_refused(writing->entry()), received);
    }
    IngestCounts counts;
    switch (write_batch(root, counts, request.client_gone)) {
        case BatchOutcome::committed: return timed(stored_reply(counts), received);
        case BatchOutcome::refused:
            metrics().count_batch(BatchEnd::invalid);
            return timed(error_reply(422, counts.error), received);
        case BatchOutcome::client_gone: metrics().count_batch(BatchEnd::client_gone); break;
        case BatchOutcome::unavailable: metrics().count_batch(BatchEnd::db_unavailable); break;
    }
    return timed(error_reply(503, counts.error), received);
}

HttpHandler make_ingest_handler(Db& db, std::string token, BatchTurns& turns) {
    return [&db, token = std::move(token), &turns](const HttpRequest& request) {
        return handle_ingest_request(
            request, token,
            [&db](const JsonValue& root, IngestCounts& counts, const std::function<bool()>& client_gone) {
                return db.ingest_batch(root, counts, client_gone);
            },
            db, &turns);
    };
}

HttpHeadCheck make_ingest_head_check(DbReadiness& readiness, std::string token) {
    return [&readiness, token = std::move(token)](const HttpRequest& head) {
        return check_ingest_head(head, token, readiness);
    };
}

}  // namespace tarn
