// The database connection owner and its batch operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "config/config.h"
#include "db/odbc.h"
#include "db/readiness.h"
#include "json/json_value.h"

namespace tarn {

// Connection parameters, copied from the settings of the same names.
struct DbSettings {
    std::string odbc_driver;
    std::string mysql_host;
    std::uint16_t mysql_port{};
    std::string mysql_user;
    std::string mysql_pass;
    std::string mysql_db;
};

// The database settings of `config`.
DbSettings db_settings(const Config& config);

// Seconds the driver may spend on one connect attempt, and on one read or
// write of the connection afterwards.
struct DbTimeouts {
    unsigned login_s;
    unsigned io_s;
};
// A batch's connection: a server that hangs (or a network path that drops
// packets) fails a batch within these instead of holding it, and every
// batch queued behind it, for ever.
constexpr unsigned db_login_timeout_s = 10;
constexpr unsigned db_io_timeout_s = 30;
constexpr DbTimeouts db_batch_timeouts{db_login_timeout_s, db_io_timeout_s};
// A readiness probe's connection: a connect and one short statement end
// within about 4 s against a hung server, so that the request that made the
// probe is answered within 5 s.
constexpr DbTimeouts db_probe_timeouts{2, 2};

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
// when the first batch needs it. One batch runs at a time. Tells whether
// the server can be reached (DbReadiness). Not copyable or movable: the
// ingest handler keeps a reference to it.
class Db : public DbReadiness {
public:
    // Allocates the ODBC environment; does not connect. Never fails here: a
    // failed allocation shows up as a failed connect later.
    explicit Db(const DbSettings& settings);
    // Disconnects if connected and frees the handles. No batch or readiness
    // call may be running.
    ~Db() override = default;
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
    // it; callers queue on the object's mutex. What a batch learns of the
    // server counts for readiness(): a connect that worked or failed; once
    // connected, a call that lost the connection (down), or a commit or a
    // failure the server answered (up).
    BatchOutcome ingest_batch(const JsonValue& root, IngestCounts& counts,
                              const std::function<bool()>& client_gone = {});

    // The latest outcome of a batch, or of a probe, when younger than
    // db_readiness_fresh_for; otherwise a probe: a connection of its own on
    // the same environment, with db_probe_timeouts, that runs SELECT 1 and is
    // closed again. It never takes the batches' mutex, so a batch and a
    // probe neither wait for nor fail each other. At most one probe runs at
    // a time and at most one per db_readiness_fresh_for (ReadinessRecord).
    // Down comes with a reason: "db connect failed: " or "db probe failed: "
    // and the driver's diagnostic, or a batch's failed step as its 503 names
    // it; never the password. Any thread.
    DbState readiness() override;

    // The state readiness() would answer from what is known, without a
    // probe; cheap, for a metrics gauge. Any thread.
    DbState last_known() const override;

    // Probes run so far. Any thread.
    std::uint64_t probes() const;

    // The ODBC connection string built from the settings, with `timeouts`.
    std::string connection_string(const DbTimeouts& timeouts = db_batch_timeouts) const;

private:
    // Connects unless the connection is there and alive; false, logged,
    // when a connect failed.
    bool connect();
    void disconnect();
    DbState probe() const;

    DbSettings settings_;
    std::mutex mutex_;
    OdbcEnvironment env_;
    OdbcConnection dbc_;                           // not connected when it holds no handle
    std::optional<std::size_t> max_packet_bytes_;  // the server's max_allowed_packet, when known
    ReadinessRecord readiness_;
};

}  // namespace tarn
