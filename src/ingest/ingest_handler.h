// The one request handler: routes, token check, batch parse and write, replies.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "db/db.h"
#include "db/readiness.h"
#include "http/http_message.h"
#include "ingest/batch_gate.h"
#include "json/json_value.h"

namespace tarn {

// Writes one parsed batch; the contract of Db::ingest_batch.
using BatchWriter =
    std::function<BatchOutcome(const JsonValue& root, IngestCounts& counts, const std::function<bool()>& client_gone)>;

// The handler for the service: "/api/health", "/api/ready", "/metrics" and
// "/api/ingest", with the batch written through `db` and readiness asked of
// it, batches taking their turns in `turns` (stop them when the service
// begins to stop); `db` and `turns` must outlive the handler. An empty
// `token` switches the token check off. Any number of threads may call it
// at once.
HttpHandler make_ingest_handler(Db& db, std::string token, BatchTurns& turns);

// The look at a request's head for the service: only a POST to
// "/api/ingest" with the right token (or with the check off) goes on to have
// its body read; every other request is answered from its head alone
// (health, readiness, metrics, 404, 405, 401), so that a client without the
// token cannot hold a connection while it sends a body slowly. `readiness`
// must outlive the check.
HttpHeadCheck make_ingest_head_check(DbReadiness& readiness, std::string token);

// What the head check does for one request head: the reply, or nothing
// for a POST to "/api/ingest" that may send its body. A GET of "/api/ready"
// asks `readiness` (no token needed): 200 {"ok":true} when the database is
// up, 503 {"ok":false,"error":"<reason>"} when not; within 5 s.
std::optional<HttpResponse> check_ingest_head(const HttpRequest& head, const std::string& token,
                                              DbReadiness& readiness);

// What the handler does for one request, with the batch write passed in.
// Parsing and writing wait for their turn in `turns` when given (a batch
// that does not get it in time, or whose turns are stopped, gets 503).
// Fills status, body and content type of the reply; expected failures are
// replies, only exceptions from `write_batch` or the parser leave it.
HttpResponse handle_ingest_request(const HttpRequest& request, const std::string& token, const BatchWriter& write_batch,
                                   DbReadiness& readiness, BatchTurns* turns = nullptr);

}  // namespace tarn
