// The ingest endpoint: routing, token check, parse, batch write, JSON replies.
#include "ingest/ingest_handler.h"

#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "ingest/token_compare.h"
#include "json/json_parser.h"
#include "json/json_writer.h"
#include "log/log.h"

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

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

HttpResponse success_reply(const IngestCounts& counts) {
    std::string body = "{\"ok\":true";
    body += ",\"clients_upserted\":" + std::to_string(counts.clients_upserted);
    body += ",\"readings_inserted\":" + std::to_string(counts.readings_inserted);
    body += ",\"events_inserted\":" + std::to_string(counts.events_inserted);
    body += "}";
    return reply(200, std::move(body));
}

}  // namespace

bool is_content_error(const std::string& error) {
    if (error.find("missing required field") != std::string::npos) return true;
    if (error.find("out of range") != std::string::npos) return true;
    // SQLSTATE class 22 (data exception): the row itself was refused.
    for (const char* step : {"upsert clients", "insert readings", "insert events"}) {
        const std::string prefix = std::string(step) + ": [22";
        if (starts_with(error, prefix)) return true;
    }
    return false;
}

HttpResponse handle_ingest_request(const HttpRequest& request, const std::string& token,
                                   const BatchWriter& write_batch, BatchGate* gate) {
    if (request.path == "/api/health") return reply(200, "{\"ok\":true}");
    if (request.path != "/api/ingest") return error_reply(404, "not found");
    if (request.method != "POST") return error_reply(405, "use POST");

    if (!token.empty()) {
        const auto header = request.headers.find("x-tarn-token");
        if (header == request.headers.end() || !token_matches(header->second, token)) {
            Log::write(LogLevel::Warn, "ingest: rejected (bad/missing token)");
            return error_reply(401, "unauthorized");
        }
    }

    std::optional<BatchGate::Pass> pass;
    if (gate != nullptr) pass.emplace(*gate);
    JsonValue root;
    std::string parse_error;
    if (!parse_json(request.body, root, parse_error) || root.type != JsonType::Object) {
        Log::write(LogLevel::Warn, "ingest: bad json: %s", parse_error.c_str());
        return reply(422, "{\"error\":\"bad json\",\"detail\":\"" + json_escape(parse_error) + "\"}");
    }

    IngestCounts counts;
    if (!write_batch(root, counts)) {
        return error_reply(is_content_error(counts.error) ? 422 : 503, counts.error);
    }
    return success_reply(counts);
}

HttpHandler make_ingest_handler(Db& db, std::string token) {
    auto gate = std::make_shared<BatchGate>(concurrent_batches);
    return [&db, token = std::move(token), gate](const HttpRequest& request) {
        return handle_ingest_request(
            request, token,
            [&db](const JsonValue& root, IngestCounts& counts) { return db.ingest_batch(root, counts); }, gate.get());
    };
}

}  // namespace tarn
