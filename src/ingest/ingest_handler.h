// The one request handler: routes, token check, batch parse and write, replies.
#pragma once

#include <functional>
#include <string>

#include "db/db.h"
#include "ingest/batch_gate.h"
#include "http/http_message.h"
#include "json/json_value.h"

namespace tarn {

// Writes one parsed batch; the contract of Db::ingest_batch.
using BatchWriter = std::function<bool(const JsonValue& root, IngestCounts& counts)>;

// The handler for the service: "/api/health" and "/api/ingest", with the
// batch written through `db`, which must outlive the handler. An empty
// `token` switches the token check off. The handler keeps no mutable state
// and may be called from many threads at once.
HttpHandler make_ingest_handler(Db& db, std::string token);

// Batches parsed and written at once: one being written, the next one
// parsed and waiting for the database.
constexpr std::size_t concurrent_batches = 2;

// What the handler does for one request, with the batch write passed in.
// Parsing and writing happen inside `gate` when one is given. Fills status,
// body and content type of the reply; expected failures are replies, only
// exceptions from `write_batch` or the parser leave it.
HttpResponse handle_ingest_request(const HttpRequest& request, const std::string& token,
                                   const BatchWriter& write_batch, BatchGate* gate = nullptr);

// True when a failed batch's error text says the content itself was refused
// (a missing field, a value out of range, or an SQLSTATE of class 22 right
// after the step name), which no retry can cure: answered 422, not 503.
bool is_content_error(const std::string& error);

}  // namespace tarn
