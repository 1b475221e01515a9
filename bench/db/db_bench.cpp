// Db::ingest_batch against a plain ODBC loop with the same statements, on a private MariaDB.
//
// Usage: db_bench DIR [batches] [readings_per_batch]
// DIR is the folder of a server started with scripts/mariadb (bench/db/run
// does all of it). Both writers get the same parsed batches, each batch one
// transaction with one execution per row; the plain loop gets its rows
// already converted, so it shows what ODBC and the server cost on their own.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "db/batch_rules.h"
#include "db/db.h"
#include "db/odbc.h"
#include "json/json_parser.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int clients_per_batch = 20;
constexpr int events_per_batch = 20;
constexpr int rounds = 3;

struct Server {
    std::uint16_t port = 0;
    std::string user;
    std::string password;
    std::string database;
};

bool read_text(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
    return true;
}

bool read_server(const std::string& dir, Server& server) {
    std::string port;
    if (!read_text(dir + "/port", port) || !read_text(dir + "/user", server.user) ||
        !read_text(dir + "/password", server.password) || !read_text(dir + "/database", server.database)) {
        std::fprintf(stderr, "db_bench: cannot read the server files in %s (scripts/mariadb start DIR)\n", dir.c_str());
        return false;
    }
    server.port = static_cast<std::uint16_t>(std::stoul(port));
    return true;
}

std::string batch_text(int batch, int readings) {
    std::string text = R"({"batch_window_end":"2024-05-01T12:00:00Z","clients":[)";
    for (int i = 0; i < clients_per_batch; ++i) {
        if (i > 0) text += ',';
        text +=
            R"({"node_id":)" + std::to_string(i + 1) +
            R"(,"chip":"ESP32-C6","fw_version":"1.4.2","last_seen":"2024-05-01T11:59:30Z","last_rssi_dbm":-71.5,"last_lqi":200})";
    }
    text += R"(],"readings":[)";
    for (int i = 0; i < readings; ++i) {
        if (i > 0) text += ',';
        text += R"({"node_id":)" + std::to_string(i % clients_per_batch + 1) + R"(,"meter_id":)" +
                std::to_string(batch * 100000 + i) + R"(,"protocol":7,"volume_gal":)" + std::to_string(100000 + i) +
                R"(,"flow_gpm":1.25,"freq_hz":868,"rssi_dbm":-80.5,"gateway_received_at":"2024-05-01T11:58:00.250Z"})";
    }
    text += R"(],"events":[)";
    for (int i = 0; i < events_per_batch; ++i) {
        if (i > 0) text += ',';
        text += R"({"node_id":3,"event_type":"radio_stats","payload":{"rx":1200,"crc_errors":3},)"
                R"("gateway_received_at":"2024-05-01T11:59:00Z"})";
    }
    text += "]}";
    return text;
}

// A second session: empties the tables between runs, outside the timing.
class Session {
public:
    explicit Session(const std::string& connection_string) {
        env_.allocate(SQL_NULL_HANDLE);
        SQLSetEnvAttr(env_.get(), SQL_ATTR_ODBC_VERSION, tarn::odbc_int_attr(SQL_OV_ODBC3), 0);
        dbc_.allocate(env_.get());
        std::string text = connection_string;
        const SQLRETURN rc = SQLDriverConnect(dbc_.get(), nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS,
                                              nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
        if (!tarn::odbc_succeeded(rc)) {
            std::fprintf(stderr, "db_bench: connect: %s\n", tarn::odbc_diag(SQL_HANDLE_DBC, dbc_.get()).c_str());
            std::exit(1);
        }
        dbc_.set_connected();
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    SQLHDBC dbc() const { return dbc_.get(); }

    void exec(const char* sql) {
        tarn::OdbcStatement stmt;
        stmt.allocate(dbc_.get());
        if (!tarn::odbc_succeeded(
                SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql)), SQL_NTS))) {
            std::fprintf(stderr, "db_bench: %s: %s\n", sql, tarn::odbc_diag(SQL_HANDLE_STMT, stmt.get()).c_str());
            std::exit(1);
        }
    }

    void empty_tables() {
        exec("TRUNCATE TABLE clients");
        exec("TRUNCATE TABLE readings");
        exec("TRUNCATE TABLE events");
    }

private:
    tarn::OdbcEnvironment env_;
    tarn::OdbcConnection dbc_;  // declared after the environment: freed before it
};

struct Rows {
    std::vector<tarn::ClientRow> clients;
    std::vector<tarn::ReadingRow> readings;
    std::vector<tarn::EventRow> events;
};

Rows convert(const tarn::JsonValue& root) {
    Rows rows;
    const std::string fallback = tarn::batch_fallback_timestamp(root);
    std::string error;
    for (const tarn::JsonValue& e : root.find("clients")->array_items)
        rows.clients.push_back(*tarn::read_client_row(e, fallback));
    for (const tarn::JsonValue& e : root.find("readings")->array_items) {
        rows.readings.emplace_back();
        tarn::read_reading_row(e, fallback, rows.readings.back(), error);
    }
    for (const tarn::JsonValue& e : root.find("events")->array_items) {
        rows.events.emplace_back();
        tarn::read_event_row(e, fallback, rows.events.back(), error);
    }
    return rows;
}

const char* const clients_sql =
    "INSERT INTO clients (node_id, chip, fw_version, first_seen, last_seen, last_rssi_dbm, last_lqi) "
    "VALUES (?, ?, ?, ?, ?, ?, ?) ON DUPLICATE KEY UPDATE chip=VALUES(chip), fw_version=VALUES(fw_version), "
    "last_seen=VALUES(last_seen), last_rssi_dbm=VALUES(last_rssi_dbm), last_lqi=VALUES(last_lqi)";
const char* const readings_sql =
    "INSERT INTO readings (node_id, meter_id, protocol, volume_gal, flow_gpm,  freq_hz, rssi_dbm, "
    "gateway_received_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)";
const char* const events_sql =
    "INSERT INTO events (node_id, event_type, payload_json, gateway_received_at) VALUES (?, ?, ?, ?)";

// Plain ODBC: the rows' own buffers bound directly, no copies.
struct PlainBinder {
    SQLHSTMT stmt;
    SQLUSMALLINT next = 1;
    SQLLEN indicators[8] = {};

    void add(SQLSMALLINT c_type, SQLSMALLINT sql_type, SQLULEN size, const void* value, SQLLEN length,
             SQLLEN indicator) {
        indicators[next - 1] = indicator;
        SQLBindParameter(stmt, next, SQL_PARAM_INPUT, c_type, sql_type, size, 0, const_cast<void*>(value), length,
                         &indicators[next - 1]);
        ++next;
    }
    void text(const std::string& s, SQLULEN size) {
        add(SQL_C_CHAR, SQL_VARCHAR, size, s.c_str(), static_cast<SQLLEN>(s.size() + 1), SQL_NTS);
    }
    void u32(const std::uint32_t* v, bool null) { add(SQL_C_ULONG, SQL_INTEGER, 10, v, 0, null ? SQL_NULL_DATA : 0); }
    void dbl(const double* v, bool null) { add(SQL_C_DOUBLE, SQL_DOUBLE, 15, v, 0, null ? SQL_NULL_DATA : 0); }
};

void check(SQLRETURN rc, SQLHSTMT stmt, const char* what) {
    if (tarn::odbc_succeeded(rc)) return;
    std::fprintf(stderr, "db_bench: %s: %s\n", what, tarn::odbc_diag(SQL_HANDLE_STMT, stmt).c_str());
    std::exit(1);
}

template <class Row, class Bind>
void plain_section(SQLHDBC dbc, const char* sql, const std::vector<Row>& rows, Bind bind) {
    tarn::OdbcStatement stmt;
    stmt.allocate(dbc);
    SQLPrepare(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql)), SQL_NTS);
    for (const Row& row : rows) {
        SQLFreeStmt(stmt.get(), SQL_RESET_PARAMS);
        PlainBinder b{stmt.get()};
        bind(b, row);
        check(SQLExecute(stmt.get()), stmt.get(), sql);
    }
}

void plain_batch(SQLHDBC dbc, const Rows& rows) {
    static const std::uint32_t zero = 0;
    static const double zero_d = 0.0;
    SQLSetConnectAttrW(dbc, SQL_ATTR_AUTOCOMMIT, tarn::odbc_int_attr(SQL_AUTOCOMMIT_OFF), 0);
    plain_section(dbc, clients_sql, rows.clients, [](PlainBinder& b, const tarn::ClientRow& r) {
        b.u32(&r.node_id, false);
        b.text(r.chip, 16);
        b.text(r.fw_version, 16);
        b.text(r.first_seen, 19);
        b.text(r.last_seen, 19);
        b.dbl(r.last_rssi_dbm ? &*r.last_rssi_dbm : &zero_d, !r.last_rssi_dbm);
        b.u32(r.last_lqi ? &*r.last_lqi : &zero, !r.last_lqi);
    });
    plain_section(dbc, readings_sql, rows.readings, [](PlainBinder& b, const tarn::ReadingRow& r) {
        b.u32(&r.node_id, false);
        b.u32(&r.meter_id, false);
        b.u32(&r.protocol, false);
        b.dbl(&r.volume_gal, false);
        b.dbl(r.flow_gpm ? &*r.flow_gpm : &zero_d, !r.flow_gpm);
        b.u32(r.freq_hz ? &*r.freq_hz : &zero, !r.freq_hz);
        b.dbl(r.rssi_dbm ? &*r.rssi_dbm : &zero_d, !r.rssi_dbm);
        b.text(r.gateway_received_at, 19);
    });
    plain_section(dbc, events_sql, rows.events, [](PlainBinder& b, const tarn::EventRow& r) {
        b.u32(r.node_id ? &*r.node_id : &zero, !r.node_id);
        b.text(r.event_type, 32);
        const std::string& payload = *r.payload_json;
        b.add(SQL_C_CHAR, SQL_LONGVARCHAR, payload.size() + 1, payload.c_str(), static_cast<SQLLEN>(payload.size() + 1),
              static_cast<SQLLEN>(payload.size()));
        b.text(r.gateway_received_at, 19);
    });
    if (!tarn::odbc_succeeded(SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT))) {
        std::fprintf(stderr, "db_bench: commit: %s\n", tarn::odbc_diag(SQL_HANDLE_DBC, dbc).c_str());
        std::exit(1);
    }
    SQLSetConnectAttrW(dbc, SQL_ATTR_AUTOCOMMIT, tarn::odbc_int_attr(SQL_AUTOCOMMIT_ON), 0);
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: db_bench DIR [batches] [readings_per_batch]\n");
        return 2;
    }
    Server server;
    if (!read_server(argv[1], server)) return 1;
    const int batches = argc > 2 ? std::atoi(argv[2]) : 20;
    const int readings = argc > 3 ? std::atoi(argv[3]) : 1000;

    tarn::DbSettings settings;
    settings.odbc_driver = "MariaDB Unicode";
    settings.mysql_host = "127.0.0.1";
    settings.mysql_port = server.port;
    settings.mysql_user = server.user;
    settings.mysql_pass = server.password;
    settings.mysql_db = server.database;
    tarn::Db db(settings);
    Session admin(db.connection_string());
    Session plain(db.connection_string());

    std::vector<tarn::JsonValue> documents(static_cast<std::size_t>(batches));
    std::vector<Rows> converted;
    for (int b = 0; b < batches; ++b) {
        std::string error;
        if (!tarn::parse_json(batch_text(b, readings), documents[static_cast<std::size_t>(b)], error)) {
            std::fprintf(stderr, "db_bench: batch does not parse: %s\n", error.c_str());
            return 1;
        }
        converted.push_back(convert(documents[static_cast<std::size_t>(b)]));
    }
    const double rows_per_run = static_cast<double>(batches) * (clients_per_batch + readings + events_per_batch);
    const double readings_per_run = static_cast<double>(batches) * readings;

    // Alternate the two writers, each on empty tables, and keep each one's best run.
    double best_ingest = 1e300;
    double best_plain = 1e300;
    for (int round = 0; round < rounds; ++round) {
        admin.empty_tables();
        auto start = Clock::now();
        for (const tarn::JsonValue& document : documents) {
            tarn::IngestCounts counts;
            if (db.ingest_batch(document, counts) != tarn::BatchOutcome::committed) {
                std::fprintf(stderr, "db_bench: ingest_batch: %s\n", counts.error.c_str());
                return 1;
            }
        }
        best_ingest = std::min(best_ingest, seconds_since(start));

        admin.empty_tables();
        start = Clock::now();
        for (const Rows& rows : converted) plain_batch(plain.dbc(), rows);
        best_plain = std::min(best_plain, seconds_since(start));
    }

    std::printf("db_bench: %d batches x (%d clients + %d readings + %d events), best of %d runs each\n", batches,
                clients_per_batch, readings, events_per_batch, rounds);
    std::printf("  Db::ingest_batch  %8.3f s  %9.0f rows/s  %9.0f readings/s\n", best_ingest,
                rows_per_run / best_ingest, readings_per_run / best_ingest);
    std::printf("  plain ODBC loop   %8.3f s  %9.0f rows/s  %9.0f readings/s\n", best_plain, rows_per_run / best_plain,
                readings_per_run / best_plain);
    std::printf("  ratio ingest_batch / plain loop: %.3f (target >= 0.9)\n", best_plain / best_ingest);
    return 0;
}
