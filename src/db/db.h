// The database connection owner and its batch operation.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

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

// Outcome of one batch: rows executed per table, or why nothing was written.
struct IngestCounts {
    std::int32_t readings_inserted = 0;
    std::int32_t events_inserted = 0;
    std::int32_t clients_upserted = 0;
    std::string error;
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
    ~Db();
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    // Writes one batch (clients, readings, events) in one transaction. Returns
    // true when it was committed, with the counts set; false with
    // counts.error set when nothing was written. Any thread may call it;
    // callers queue on the object's mutex.
    bool ingest_batch(const JsonValue& root, IngestCounts& counts);

    // The ODBC connection string built from the settings.
    std::string connection_string() const;

private:
    bool connect();
    void disconnect();

    DbSettings settings_;
    std::mutex mutex_;
    void* env_ = nullptr;  // SQLHENV
    void* dbc_ = nullptr;  // SQLHDBC, null when not connected
};

}  // namespace tarn
