// The database connection owner and its batch operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "config/config.h"
#include "db/odbc.h"
#include "json/json_value.h"

namespace tarn {

// Connection parameters, copied from the settings of the same names.
struct DbSettings {
    std::string odbc_driver;
    std::string mysql_host;
    std::uint16_t mysql_port = 0;
    std::string mysql_user;
    std::string mysql_pass;
    std::string mysql_db;
};

// The database settings of `config`.
DbSettings db_settings(const Config& config);

// Seconds the driver may spend on one connect attempt, and on one read or
// write of the connection afterwards: a server that hangs (or a network
// path that drops packets) fails a batch within this time instead of
// holding it, and every batch queued behind it, for ever.
constexpr unsigned db_login_timeout_s = 10;
constexpr unsigned db_io_timeout_s = 30;

// Outcome of one batch: rows executed per table, or why nothing was written.
struct IngestCounts {
    std::int32_t readings_inserted = 0;
    std::int32_t events_inserted = 0;
    std::int32_t clients_upserted = 0;
    std::string error;
};

// How a batch ended. Only `committed` stored anything.
enum class BatchOutcome {
    committed,    // the whole batch is stored
    refused,      // its content can never be stored: a missing field, a value
                  // out of range, a value or row the server refuses
    unavailable,  // the database did not take it now; sending it again may work
    client_gone,  // its client went away before it was written: nothing stored
};

// Owns the ODBC environment and at most one connection; connects lazily,
// when the first batch needs it. One batch runs at a time. Not copyable or
// movable: the ingest handler keeps a reference to it.
class Db {
public:
    // Allocates the ODBC environment; does not connect. Never fails here: a
    // failed allocation shows up as a failed connect later.
    explicit Db(const DbSettings& settings);
    // Disconnects if connected and frees the handles. No batch may be running.
    ~Db() = default;
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    // Writes one batch (clients, readings, events) in one transaction.
    // Returns committed with the counts set, or another outcome with
    // counts.error set and nothing written. A failure that leaves the
    // connection unusable or its state unknown (a lost connection, a failed
    // commit, rollback or switch of autocommit) drops it, with a line at
    // Error, and the next batch connects anew. `client_gone`, when given, is
    // asked right before the transaction begins and right before the commit;
    // when it answers true the batch is not written (rolled back), since no
    // reply can reach its sender, who will send it again. Any thread may call
    // it; callers queue on the object's mutex.
    BatchOutcome ingest_batch(const JsonValue& root, IngestCounts& counts,
                              const std::function<bool()>& client_gone = {});

    // The ODBC connection string built from the settings.
    std::string connection_string() const;

private:
    bool connect();
    void disconnect();

    DbSettings settings_;
    std::mutex mutex_;
    OdbcEnvironment env_;
    OdbcConnection dbc_;                // not connected when it holds no handle
    std::size_t max_packet_bytes_ = 0;  // the server's max_allowed_packet; 0 when unknown
};

}  // namespace tarn
