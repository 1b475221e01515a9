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

// Read by nobody: the address handed to the driver for a NULL number.
const std::uint32_t unused_uint32 = 0;
const double unused_double = 0.0;

// Binds the parameters of one row and keeps their buffers alive until the
// row has been executed. Numbers are bound by address: the caller's variables
// must outlive the execution. Text copies and indicator words live in deques,
// so the addresses already given to the driver stay put as more are added.
class ParamBinder {
public:
    explicit ParamBinder(SQLHSTMT stmt) : stmt_(stmt) {}
    ParamBinder(const ParamBinder&) = delete;
    ParamBinder& operator=(const ParamBinder&) = delete;

    void bind_varchar(const std::string& text, SQLULEN column_size) {
        std::string& copy = texts_.emplace_back(text);
        bind(SQL_C_CHAR, SQL_VARCHAR, column_size, copy.data(), static_cast<SQLLEN>(copy.size() + 1),
             indicator(SQL_NTS));
    }

    void bind_long_text(const std::optional<std::string>& text) {
        std::string& copy = texts_.emplace_back(text ? *text : std::string());
        const SQLLEN length = static_cast<SQLLEN>(copy.size());
        bind(SQL_C_CHAR, SQL_LONGVARCHAR, static_cast<SQLULEN>(copy.size() + 1), copy.data(), length + 1,
             indicator(text ? length : SQL_NULL_DATA));
    }

    void bind_uint32(const std::uint32_t* value, bool is_null) {
        bind(SQL_C_ULONG, SQL_INTEGER, uint32_column_size, const_cast<std::uint32_t*>(value), 0,
             indicator(is_null ? SQL_NULL_DATA : 0));
    }
    void bind_uint32(const std::optional<std::uint32_t>& value) {
        bind_uint32(value ? &*value : &unused_uint32, !value);
    }

    void bind_double(const double* value, bool is_null) {
        bind(SQL_C_DOUBLE, SQL_DOUBLE, double_column_size, const_cast<double*>(value), 0,
             indicator(is_null ? SQL_NULL_DATA : 0));
    }
    void bind_double(const std::optional<double>& value) { bind_double(value ? &*value : &unused_double, !value); }

private:
    SQLLEN* indicator(SQLLEN value) { return &indicators_.emplace_back(value); }

    void bind(SQLSMALLINT c_type, SQLSMALLINT sql_type, SQLULEN column_size, SQLPOINTER value,
              SQLLEN buffer_length, SQLLEN* indicator_word) {
        SQLBindParameter(stmt_, next_param_, SQL_PARAM_INPUT, c_type, sql_type, column_size, 0, value,
                         buffer_length, indicator_word);
        ++next_param_;
    }

    SQLHSTMT stmt_;
    SQLUSMALLINT next_param_ = 1;
    std::deque<SQLLEN> indicators_;
    std::deque<std::string> texts_;
};

// Executes the bound row. On failure returns false with "<step>: [SQLSTATE]
// message" in `error`.
bool execute_step(SQLHSTMT stmt, const char* step, std::string& error) {
    if (odbc_succeeded(SQLExecute(stmt))) return true;
    error = std::string(step) + ": " + odbc_diag(SQL_HANDLE_STMT, stmt);
    return false;
}

// Allocates `stmt` on `dbc` and prepares `sql` on it. A statement that fails
// to prepare is reported by its first execution.
bool prepare(SQLHDBC dbc, const char* sql, OdbcStatement& stmt) {
    if (!stmt.allocate(dbc)) return false;
    SQLPrepare(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql)), SQL_NTS);
    return true;
}

// Autocommit is off exactly while a batch runs. If the batch is left without
// a commit or an explicit rollback (an exception), the destructor rolls back.
class Transaction {
public:
    explicit Transaction(SQLHDBC dbc) : dbc_(dbc) {
        SQLSetConnectAttrW(dbc_, SQL_ATTR_AUTOCOMMIT, odbc_int_attr(SQL_AUTOCOMMIT_OFF), 0);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction() {
        if (open_) roll_back();
    }

    // Commits and switches autocommit back on, whatever the outcome. Returns
    // false with the connection's diagnostic text in `diag` when the commit
    // failed; the text is read before the autocommit call replaces it.
    bool commit(std::string& diag) {
        open_ = false;
        const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_COMMIT);
        const bool committed = odbc_succeeded(rc);
        if (!committed) diag = odbc_diag(SQL_HANDLE_DBC, dbc_);
        autocommit_on();
        return committed;
    }

    void roll_back() {
        open_ = false;
        SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
        autocommit_on();
    }

private:
    void autocommit_on() { SQLSetConnectAttrW(dbc_, SQL_ATTR_AUTOCOMMIT, odbc_int_attr(SQL_AUTOCOMMIT_ON), 0); }

    SQLHDBC dbc_;
    bool open_ = true;
};

// One section of a batch: the statement is prepared once, then each Object
// element is read into a row by `read` and executed after `bind`. `read`
// returns false to stop the batch with `error` set, or false with `error`
// empty to skip the element.
struct Section {
    const char* sql;
    const char* prepare_error;
    const char* step;
};

template <typename Row, typename Read, typename Bind>
bool write_section(SQLHDBC dbc, const Section& section, const JsonValue& elements, OdbcStatement& stmt,
                   std::int32_t& count, std::string& error, Read read, Bind bind) {
    if (!prepare(dbc, section.sql, stmt)) {
        error = section.prepare_error;
        return false;
    }
    for (const JsonValue& element : elements.array_items) {
        if (element.type != JsonType::Object) continue;
        Row row;
        if (!read(element, row, error)) {
            if (error.empty()) continue;
            return false;
        }
        SQLFreeStmt(stmt.get(), SQL_RESET_PARAMS);
        // The binder and the row stay alive until the row has been executed.
        ParamBinder binder(stmt.get());
        bind(binder, row);
        if (!execute_step(stmt.get(), section.step, error)) return false;
        ++count;
    }
    stmt.reset();
    return true;
}

bool write_clients(SQLHDBC dbc, const JsonValue& elements, const std::string& fallback, OdbcStatement& stmt,
                   IngestCounts& counts, std::string& error) {
    const Section section{upsert_clients_sql, "prepare clients failed", "upsert clients"};
    return write_section<ClientRow>(
        dbc, section, elements, stmt, counts.clients_upserted, error,
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
}

bool write_readings(SQLHDBC dbc, const JsonValue& elements, const std::string& fallback, OdbcStatement& stmt,
                    IngestCounts& counts, std::string& error) {
    const Section section{insert_readings_sql, "prepare readings failed", "insert readings"};
    return write_section<ReadingRow>(
        dbc, section, elements, stmt, counts.readings_inserted, error,
        [&fallback](const JsonValue& element, ReadingRow& row, std::string& read_error) {
            return read_reading_row(element, fallback, row, read_error);
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
}

bool write_events(SQLHDBC dbc, const JsonValue& elements, const std::string& fallback, OdbcStatement& stmt,
                  IngestCounts& counts, std::string& error) {
    const Section section{insert_events_sql, "prepare events failed", "insert events"};
    return write_section<EventRow>(
        dbc, section, elements, stmt, counts.events_inserted, error,
        [&fallback](const JsonValue& element, EventRow& row, std::string& read_error) {
            return read_event_row(element, fallback, row, read_error);
        },
        [](ParamBinder& binder, EventRow& row) {
            binder.bind_uint32(row.node_id);
            binder.bind_varchar(row.event_type, event_type_column_size);
            binder.bind_long_text(row.payload_json);
            binder.bind_varchar(row.gateway_received_at, timestamp_column_size);
        });
}

std::size_t section_size(const JsonValue* section) { return section != nullptr ? section->array_size() : 0; }

}  // namespace

bool Db::ingest_batch(const JsonValue& root, IngestCounts& counts) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connect()) {
        counts.error = "db connect failed";
        return false;
    }
    const SQLHDBC dbc = static_cast<SQLHDBC>(dbc_);
    const std::string fallback = batch_fallback_timestamp(root);
    const JsonValue* clients = root.find("clients");
    const JsonValue* readings = root.find("readings");
    const JsonValue* events = root.find("events");

    Transaction transaction(dbc);
    // Declared after the transaction, so that on an exception the statement
    // is freed first and the rollback follows.
    OdbcStatement stmt;
    std::string error;
    const bool written = (section_size(clients) == 0 || write_clients(dbc, *clients, fallback, stmt, counts, error)) &&
                         (section_size(readings) == 0 || write_readings(dbc, *readings, fallback, stmt, counts, error)) &&
                         (section_size(events) == 0 || write_events(dbc, *events, fallback, stmt, counts, error));
    if (!written) {
        counts.error = error;
        transaction.roll_back();
        Log::write(LogLevel::Error, "db: rollback \xE2\x80\x94 %s", error.c_str());
        return false;
    }
    std::string diag;
    if (transaction.commit(diag)) return true;
    counts.error = "commit failed: " + diag;
    Log::write(LogLevel::Error, "db: %s", counts.error.c_str());
    disconnect();
    return false;
}

}  // namespace tarn
