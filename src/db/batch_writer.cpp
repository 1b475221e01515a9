// The batch writer: one batch document, three prepared statements, one transaction.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>

#include "db/batch_rules.h"
#include "db/db.h"
#include "db/odbc.h"
#include "log/log.h"
#include "metrics/metrics.h"

namespace tarn {

namespace {

const char* const upsert_clients_sql =
    "INSERT INTO clients (node_id, chip, fw_version, first_seen, last_seen, last_rssi_dbm, last_lqi) "
    "VALUES (?, ?, ?, ?, ?, ?, ?) ON DUPLICATE KEY UPDATE chip=VALUES(chip), fw_version=VALUES(fw_version), "
    "last_seen=VALUES(last_seen), last_rssi_dbm=VALUES(last_rssi_dbm), last_lqi=VALUES(last_lqi)";
const char* const insert_readings_sql =
    "INSERT INTO readings (node_id, meter_id, protocol, volume_gal, flow_gpm,  freq_hz, rssi_dbm, "
    "gateway_received_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)";
const char* const insert_events_sql =
    "INSERT INTO events (node_id, event_type, payload_json, gateway_received_at) VALUES (?, ?, ?, ?)";

// Column sizes declared to the driver; texts are passed whole all the same.
constexpr SQLULEN chip_column_size = 16;
constexpr SQLULEN fw_version_column_size = 16;
constexpr SQLULEN timestamp_column_size = 19;
constexpr SQLULEN event_type_column_size = 32;
constexpr SQLULEN uint32_column_size = 10;
constexpr SQLULEN double_column_size = 15;

// Bytes a row's execute packet takes besides its values: command, statement
// id, flags, null bitmap and parameter types, generously; and per value at
// most, besides its bytes: its length prefix.
constexpr std::size_t packet_overhead_bytes = 64;
constexpr std::size_t value_overhead_bytes = 9;

// Server and client-library error numbers for a packet above
// max_allowed_packet (ER_NET_PACKET_TOO_LARGE, CR_NET_PACKET_TOO_LARGE).
constexpr long packet_too_large_errors[] = {1153, 2020};
// Client-library error numbers for a connection that is gone
// (CR_SERVER_GONE_ERROR, CR_SERVER_LOST).
constexpr long connection_lost_errors[] = {2006, 2013};

// Read by nobody: the address handed to the driver for a NULL number.
const std::uint32_t unused_uint32 = 0;
const double unused_double = 0.0;

template <std::size_t N>
bool is_one_of(long value, const long (&values)[N]) {
    for (long v : values) {
        if (v == value) return true;
    }
    return false;
}

// A failed step: its error text, and what it says about the batch and the
// connection.
struct StepFailure {
    std::string error;
    bool content = false;          // the row itself was refused: no retry helps
    bool connection_lost = false;  // the connection is unusable: drop it
};

// Class 08 (connection exception) and time-outs leave the connection
// unusable, even when it still looks alive (a cluster node that left its
// cluster answers every statement with 08S01).
bool lost_connection(const OdbcError& diag) {
    return diag.state.rfind("08", 0) == 0 || diag.state == "HYT00" || diag.state == "HYT01" ||
           is_one_of(diag.native_error, connection_lost_errors);
}

StepFailure step_failure(const std::string& step, const OdbcError& diag) {
    metrics().count_db_error(diag.state);
    StepFailure failure;
    failure.error = step + ": " + diag.text;
    // SQLSTATE class 22 (data exception): a value the server refuses.
    failure.content = diag.state.rfind("22", 0) == 0 || is_one_of(diag.native_error, packet_too_large_errors);
    failure.connection_lost = lost_connection(diag);
    return failure;
}

// Binds the parameters of one row and keeps their buffers alive until the
// row has been executed. Numbers are bound by address: the caller's variables
// must outlive the execution. Text copies and indicator words live in deques,
// so the addresses already given to the driver stay put as more are added.
// Texts are bound with their byte length, so that a zero byte in one is
// stored, not taken for its end. The first bind that fails is kept with its
// diagnostic (read at once, before another call on the statement replaces
// it) and the binds after it are not made: the row must not be executed.
class ParamBinder {
public:
    explicit ParamBinder(SQLHANDLE stmt) : stmt_(stmt) {}
    ParamBinder(const ParamBinder&) = delete;
    ParamBinder& operator=(const ParamBinder&) = delete;

    void bind_varchar(const std::string& text, SQLULEN column_size) {
        std::string& copy = texts_.emplace_back(text);
        bind(SQL_C_CHAR, SQL_VARCHAR, column_size, copy.data(), static_cast<SQLLEN>(copy.size() + 1),
             indicator(static_cast<SQLLEN>(copy.size())), copy.size());
    }

    void bind_long_text(const std::optional<std::string>& text) {
        std::string& copy = texts_.emplace_back(text ? *text : std::string());
        const SQLLEN length = static_cast<SQLLEN>(copy.size());
        bind(SQL_C_CHAR, SQL_LONGVARCHAR, static_cast<SQLULEN>(copy.size() + 1), copy.data(), length + 1,
             indicator(text ? length : SQL_NULL_DATA), copy.size());
    }

    void bind_uint32(const std::uint32_t* value, bool is_null) {
        bind(SQL_C_ULONG, SQL_INTEGER, uint32_column_size, const_cast<std::uint32_t*>(value), 0,
             indicator(is_null ? SQL_NULL_DATA : 0), sizeof *value);
    }
    void bind_uint32(const std::optional<std::uint32_t>& value) {
        bind_uint32(value ? &*value : &unused_uint32, !value);
    }

    void bind_double(const double* value, bool is_null) {
        bind(SQL_C_DOUBLE, SQL_DOUBLE, double_column_size, const_cast<double*>(value), 0,
             indicator(is_null ? SQL_NULL_DATA : 0), sizeof *value);
    }
    void bind_double(const std::optional<double>& value) { bind_double(value ? &*value : &unused_double, !value); }

    // The size of the row's execute packet, at most.
    std::size_t packet_bytes() const { return packet_bytes_; }

    // True when every bind so far succeeded; otherwise false with the
    // statement's diagnostic of the failed one in `diag`.
    bool bound(OdbcError& diag) const {
        if (!failed_) return true;
        diag = diag_;
        return false;
    }

private:
    SQLLEN* indicator(SQLLEN value) { return &indicators_.emplace_back(value); }

    void bind(SQLSMALLINT c_type, SQLSMALLINT sql_type, SQLULEN column_size, SQLPOINTER value, SQLLEN buffer_length,
              SQLLEN* indicator_word, std::size_t value_bytes) {
        if (failed_) return;
        if (!odbc_succeeded(odbc_bind_input(stmt_, next_param_, c_type, sql_type, column_size, value, buffer_length,
                                            indicator_word))) {
            failed_ = true;
            diag_ = odbc_error(SQL_HANDLE_STMT, stmt_);
            return;
        }
        ++next_param_;
        packet_bytes_ += value_bytes + value_overhead_bytes;
    }

    SQLHANDLE stmt_;
    SQLUSMALLINT next_param_ = 1;
    std::size_t packet_bytes_ = packet_overhead_bytes;
    std::deque<SQLLEN> indicators_;
    std::deque<std::string> texts_;
    bool failed_ = false;
    OdbcError diag_;  // of the failed bind
};

// The transaction of one batch on `connection`: autocommit is off from
// begin() until commit() or roll_back(), and on otherwise. Every call is
// checked. A failed switch of autocommit, or a failed rollback, leaves the
// session in a state this code cannot know (after a failed rollback the
// batch's rows are still pending, and switching autocommit back on would
// commit them): the connection is dropped, and the next batch connects
// anew. The server discards what a closed session left uncommitted (MariaDB
// Connector/ODBC disconnects a session with a transaction open, although
// ODBC lets a driver refuse that). Left open (an exception), the destructor
// rolls back.
class Transaction {
public:
    explicit Transaction(OdbcConnection& connection) : connection_(connection) {}
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction() {
        if (open_) roll_back();
    }

    // Switches autocommit off. Returns false with the connection's
    // diagnostic in `diag` when that failed; the connection is then dropped
    // and no transaction is open.
    bool begin(OdbcError& diag) {
        if (!odbc_succeeded(odbc_set_autocommit(connection_.get(), false))) {
            diag = odbc_error(SQL_HANDLE_DBC, connection_.get());
            metrics().count_db_error(diag.state);
            connection_.reset();
            return false;
        }
        open_ = true;
        return true;
    }

    // Commits, then switches autocommit back on (a failed switch drops the
    // connection; the batch is stored all the same). Returns false with the
    // connection's diagnostic in `diag` when the commit failed: the
    // transaction is then still open, for roll_back().
    bool commit(OdbcError& diag) {
        if (!odbc_succeeded(odbc_commit(connection_.get()))) {
            diag = odbc_error(SQL_HANDLE_DBC, connection_.get());
            metrics().count_db_error(diag.state);
            return false;
        }
        open_ = false;
        autocommit_on();
        return true;
    }

    // Rolls back, then switches autocommit back on. When either fails, logs
    // it at Error and drops the connection.
    void roll_back() {
        open_ = false;
        if (!odbc_succeeded(odbc_rollback(connection_.get()))) {
            drop("rollback");
            return;
        }
        autocommit_on();
    }

private:
    void autocommit_on() {
        if (!odbc_succeeded(odbc_set_autocommit(connection_.get(), true))) drop("autocommit on");
    }

    void drop(const char* call) {
        const OdbcError diag = odbc_error(SQL_HANDLE_DBC, connection_.get());
        metrics().count_db_error(diag.state);
        Log::write(LogLevel::Error, "db: %s failed: %s; connection dropped", call, diag.text.c_str());
        connection_.reset();
    }

    OdbcConnection& connection_;
    bool open_ = false;
};

// One section of a batch: its statement, and the names its errors carry.
struct Section {
    const char* sql;
    const char* prepare_step;  // "prepare clients failed", ...
    const char* bind_step;     // "bind clients", ...
    const char* step;          // "upsert clients", ...
};

// Writes one section: the statement is prepared once, then each Object
// element is read into a row by `read` and executed after `bind`. `read`
// returns false to stop the batch with an error text (a content error), or
// false with the text empty to skip the element. Rows larger than
// `max_packet_bytes` (when known) are refused before they are sent, since
// the server would drop the connection over them.
template <typename Row, typename Read, typename Bind>
bool write_section(SQLHANDLE dbc, const Section& section, const JsonValue& elements,
                   const std::optional<std::size_t>& max_packet_bytes, std::int32_t& count, StepFailure& failure,
                   Read read, Bind bind) {
    OdbcStatement stmt;
    if (!stmt.allocate(dbc)) {
        failure = step_failure(section.prepare_step, odbc_error(SQL_HANDLE_DBC, dbc));
        return false;
    }
    if (!odbc_succeeded(odbc_prepare(stmt.get(), section.sql))) {
        failure = step_failure(section.prepare_step, odbc_error(SQL_HANDLE_STMT, stmt.get()));
        return false;
    }
    for (const JsonValue& element : elements.array_items) {
        if (element.type != JsonType::Object) continue;
        Row row{};
        if (!read(element, row, failure.error)) {
            if (failure.error.empty()) continue;
            failure.content = true;
            return false;
        }
        SQLFreeStmt(stmt.get(), SQL_RESET_PARAMS);
        // The binder and the row stay alive until the row has been executed.
        ParamBinder binder(stmt.get());
        bind(binder, row);
        OdbcError bind_diag;
        if (!binder.bound(bind_diag)) {
            failure = step_failure(section.bind_step, bind_diag);
            // Binding happens in the client: the row itself was not refused,
            // whatever the state says.
            failure.content = false;
            return false;
        }
        if (max_packet_bytes && binder.packet_bytes() > *max_packet_bytes) {
            failure.error = std::string(section.step) + ": row of " + std::to_string(binder.packet_bytes()) +
                            " bytes is larger than the server's max_allowed_packet of " +
                            std::to_string(*max_packet_bytes) + " bytes";
            failure.content = true;
            return false;
        }
        if (!odbc_succeeded(odbc_execute(stmt.get()))) {
            failure = step_failure(section.step, odbc_error(SQL_HANDLE_STMT, stmt.get()));
            return false;
        }
        ++count;
    }
    return true;
}

// The three sections of a batch, written in the order clients, readings,
// events, each only when its member is a non-empty array.
bool write_sections(SQLHANDLE dbc, const JsonValue& root, const std::optional<std::size_t>& max_packet_bytes,
                    IngestCounts& counts, StepFailure& failure) {
    const std::string fallback = batch_fallback_timestamp(root);
    const auto present = [&root](const char* name) -> const JsonValue* {
        const JsonValue* section = root.find(name);
        return section != nullptr && !section->array_items.empty() ? section : nullptr;
    };
    if (const JsonValue* clients = present("clients")) {
        const bool written = write_section<ClientRow>(
            dbc, {upsert_clients_sql, "prepare clients failed", "bind clients", "upsert clients"}, *clients,
            max_packet_bytes, counts.clients_upserted, failure,
            [&fallback](const JsonValue& element, ClientRow& row, std::string&) {
                std::optional<ClientRow> read = read_client_row(element, fallback);
                if (read) row = std::move(*read);
                return read.has_value();  // a client outside the node range is skipped
            },
            [](ParamBinder& binder, ClientRow& row) {
                binder.bind_uint32(&row.node_id, false);
                binder.bind_varchar(row.chip, chip_column_size);
                binder.bind_varchar(row.fw_version, fw_version_column_size);
                binder.bind_varchar(row.first_seen, timestamp_column_size);
                binder.bind_varchar(row.last_seen, timestamp_column_size);
                binder.bind_double(row.last_rssi_dbm);
                binder.bind_uint32(row.last_lqi);
            });
        if (!written) return false;
    }
    if (const JsonValue* readings = present("readings")) {
        const bool written = write_section<ReadingRow>(
            dbc, {insert_readings_sql, "prepare readings failed", "bind readings", "insert readings"}, *readings,
            max_packet_bytes, counts.readings_inserted, failure,
            [&fallback](const JsonValue& element, ReadingRow& row, std::string& error) {
                return read_reading_row(element, fallback, row, error);
            },
            [](ParamBinder& binder, ReadingRow& row) {
                binder.bind_uint32(&row.node_id, false);
                binder.bind_uint32(&row.meter_id, false);
                binder.bind_uint32(&row.protocol, false);
                binder.bind_double(&row.volume_gal, false);
                binder.bind_double(row.flow_gpm);
                binder.bind_uint32(row.freq_hz);
                binder.bind_double(row.rssi_dbm);
                binder.bind_varchar(row.gateway_received_at, timestamp_column_size);
            });
        if (!written) return false;
    }
    if (const JsonValue* events = present("events")) {
        return write_section<EventRow>(
            dbc, {insert_events_sql, "prepare events failed", "bind events", "insert events"}, *events,
            max_packet_bytes, counts.events_inserted, failure,
            [&fallback](const JsonValue& element, EventRow& row, std::string& error) {
                return read_event_row(element, fallback, row, error);
            },
            [](ParamBinder& binder, EventRow& row) {
                binder.bind_uint32(row.node_id);
                binder.bind_varchar(row.event_type, event_type_column_size);
                binder.bind_long_text(row.payload_json);
                binder.bind_varchar(row.gateway_received_at, timestamp_column_size);
            });
    }
    return true;
}

bool asks_true(const std::function<bool()>& question) { return question && question(); }

// What a failed call of a batch says about the server: down, with the
// batch's error, when it lost the connection; up otherwise, since the
// server answered (a refused row, a missing privilege, a deadlock).
void record_failure(ReadinessRecord& readiness, bool connection_lost, const std::string& error) {
    if (connection_lost) {
        readiness.record({false, error});
    } else {
        readiness.record({true, ""});
    }
}

}  // namespace

BatchOutcome Db::ingest_batch(const JsonValue& root, IngestCounts& counts, const std::function<bool()>& client_gone) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connect()) {
        counts.error = "db connect failed";
        return BatchOutcome::unavailable;
    }
    // A client that gave up while its batch waited for its turn will send it
    // again: writing this copy too would store the batch twice.
    if (asks_true(client_gone)) {
        counts.error = "client gone";
        Log::write(LogLevel::Warn, "db: client gone before its batch began; nothing written");
        return BatchOutcome::client_gone;
    }

    Transaction transaction(dbc_);
    OdbcError diag;
    if (!transaction.begin(diag)) {
        counts.error = "begin transaction: " + diag.text;
        Log::write(LogLevel::Error, "db: %s", counts.error.c_str());
        record_failure(readiness_, lost_connection(diag), counts.error);
        return BatchOutcome::unavailable;
    }
    StepFailure failure;
    if (!write_sections(dbc_.get(), root, max_packet_bytes_, counts, failure)) {
        counts.error = failure.error;
        Log::write(LogLevel::Error, "db: rollback \xE2\x80\x94 %s", failure.error.c_str());
        transaction.roll_back();
        if (failure.connection_lost) disconnect();
        record_failure(readiness_, failure.connection_lost, failure.error);
        return failure.content ? BatchOutcome::refused : BatchOutcome::unavailable;
    }
    if (asks_true(client_gone)) {
        counts.error = "client gone";
        Log::write(LogLevel::Warn, "db: client gone before commit; batch rolled back");
        transaction.roll_back();
        return BatchOutcome::client_gone;
    }
    if (transaction.commit(diag)) {
        readiness_.record({true, ""});
        return BatchOutcome::committed;
    }
    counts.error = "commit failed: " + diag.text;
    Log::write(LogLevel::Error, "db: %s", counts.error.c_str());
    record_failure(readiness_, lost_connection(diag), counts.error);
    // Whether the server got the commit is unknown: the connection goes. The
    // transaction is rolled back first, so that a driver that refuses to
    // disconnect a session with a transaction open (ODBC allows it) still
    // lets it go, and switching autocommit back on commits nothing.
    transaction.roll_back();
    disconnect();
    return BatchOutcome::unavailable;
}

}  // namespace tarn
