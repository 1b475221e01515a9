// Db::connection_string and the ODBC diagnostics without a server; then
// Db::ingest_batch, the connection life and readiness on a real MariaDB,
// through ODBC.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "db/batch_rules.h"
#include "db/db.h"
#include "db/odbc.h"
#include "http/socket.h"
#include "ingest/ingest_handler.h"
#include "json/json_parser.h"
#include "test_env.h"

namespace tarn {
namespace {

const std::string timeouts = "CONN_TIMEOUT=10;READ_TIMEOUT=30;WRITE_TIMEOUT=30;READTIMEOUT=30;WRITETIMEOUT=30;";
const std::string probe_timeouts = "CONN_TIMEOUT=2;READ_TIMEOUT=2;WRITE_TIMEOUT=2;READTIMEOUT=2;WRITETIMEOUT=2;";

// A holder that allocates again frees the handle it held: afterwards that
// handle is either the new one (its memory taken again) or no handle at all.
TEST(OdbcHandles, AllocatingAgainFreesTheHandleHeld) {
    OdbcEnvironment env;
    ASSERT_TRUE(env.allocate(SQL_NULL_HANDLE));
    const SQLHANDLE first = env.get();
    ASSERT_TRUE(env.allocate(SQL_NULL_HANDLE));
    SQLHANDLE dbc = SQL_NULL_HANDLE;
    EXPECT_TRUE(env.get() == first || SQLAllocHandle(SQL_HANDLE_DBC, first, &dbc) == SQL_INVALID_HANDLE);
}

// Values with ";", "{", "}" or an outer blank used to be inserted raw, so a
// password such as x;DATABASE=mysql cut the string and added an attribute.
TEST(ConnectionString, ValueWithSemicolonOrBraceCannotCutTheString) {
    // clang-format off
    const std::pair<const char*, const char*> passwords[] = {
        {"x;DATABASE=mysql", "{x;DATABASE=mysql}"}, {"pw;x}y", "{pw;x}}y}"}, {" lead", "{ lead}"},
        {"in side=1", "in side=1"}, {"", ""}
    };
    // clang-format on
    for (const auto& [password, value] : passwords) {
        EXPECT_EQ(Db({"MySQL ODBC 8.0 Unicode Driver", "127.0.0.1", 3306, "tarn_water", password, "tarn_water"})
                      .connection_string(),
                  "DRIVER={MySQL ODBC 8.0 Unicode Driver};SERVER=127.0.0.1;PORT=3306;DATABASE=tarn_water;"
                  "UID=tarn_water;PWD=" +
                      std::string(value) + ";CHARSET=utf8mb4;" + timeouts);
    }
    const Db odd({"Odd}Driver", "db;1", 0, "u;", "", "{db}"});
    const std::string head =
        "DRIVER={Odd}}Driver};SERVER={db;1};PORT=0;DATABASE={{db}}};UID={u;};PWD=;CHARSET=utf8mb4;";
    EXPECT_EQ(odd.connection_string(), head + timeouts);
    EXPECT_EQ(odd.connection_string(db_probe_timeouts), head + probe_timeouts);
}

// Result rows, each as its columns joined by "|" with NULL for SQL NULL.
using Rows = std::vector<std::string>;
const std::string valid_reading = R"({"node_id":1,"meter_id":11,"volume_gal":100,"gateway_received_at":"2024-05-01"})";
const std::string valid_event = R"({"event_type":"boot","gateway_received_at":"2024-05-01T00:00:00Z"})";
const std::string event_batch = "{\"events\":[" + valid_event + "]}";
// A batch of one client and a valid reading, with more readings to follow.
const std::string batch_head =
    R"({"clients":[{"node_id":1}],"batch_window_end":"2024-05-01","readings":[)" + valid_reading + ",";
const std::string connected_line = "[INF] db: connected via ODBC driver 'MariaDB Unicode' to 127.0.0.1:";

// Each test gets a database of its own with empty copies of the tables, a Db
// logged in to it, an autocommit session of its own for reading back, and its
// own log file.
class DbBatch : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string port = test::mariadb_fact("port");
        ASSERT_FALSE(port.empty()) << "no server files (scripts/mariadb start DIR)";
        settings_ = {"MariaDB Unicode",
                     "127.0.0.1",
                     static_cast<std::uint16_t>(std::stoul(port)),
                     test::mariadb_fact("user"),
                     test::mariadb_fact("password"),
                     test::mariadb_fact("database")};
        env_.allocate(SQL_NULL_HANDLE);
        SQLSetEnvAttr(env_.get(), SQL_ATTR_ODBC_VERSION, odbc_int_attr(SQL_OV_ODBC3), 0);
        dbc_.allocate(env_.get());
        std::string text = Db(settings_).connection_string();
        ASSERT_TRUE(odbc_succeeded(SQLDriverConnect(dbc_.get(), nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                                                    SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)))
            << odbc_diag(SQL_HANDLE_DBC, dbc_.get());
        dbc_.set_connected();
        const std::string source = settings_.mysql_db;
        settings_.mysql_db = "tarn_test_" + std::to_string(std::random_device{}());
        query("CREATE DATABASE " + settings_.mysql_db);
        for (const std::string table : {"clients", "readings", "events"})
            query("CREATE TABLE " + settings_.mysql_db + "." + table + " LIKE " + source + "." + table);
        query("USE " + settings_.mysql_db);
        db_ = std::make_unique<Db>(settings_);
    }
    void TearDown() override {
        db_.reset();
        if (dbc_.connected()) query("DROP DATABASE " + settings_.mysql_db);
    }

    // Ingests `json` (valid JSON) into `db` (the test's own when null):
    // "<clients>/<readings>/<events>" rows written when the batch was
    // committed, or else "refused: ", "gone: " or "unavailable: " and the error.
    std::string ingest(const std::string& json, const std::function<bool()>& client_gone = {}, Db* db = nullptr) {
        JsonValue root;
        std::string error;
        EXPECT_TRUE(parse_json(json, root, error)) << error << " in " << json;
        IngestCounts c;
        switch ((db != nullptr ? *db : *db_).ingest_batch(root, c, client_gone)) {
            case BatchOutcome::committed:
                return std::to_string(c.clients_upserted) + "/" + std::to_string(c.readings_inserted) + "/" +
                       std::to_string(c.events_inserted);
            case BatchOutcome::refused: return "refused: " + c.error;
            case BatchOutcome::client_gone: return "gone: " + c.error;
            case BatchOutcome::unavailable: break;
        }
        return "unavailable: " + c.error;
    }
    // The rows of `sql` on the session, texts of up to 4095 bytes; none on failure.
    Rows query(std::string sql) {
        Rows rows;
        OdbcStatement stmt;
        SQLSMALLINT columns = 0;
        if (!stmt.allocate(dbc_.get()) ||
            !odbc_succeeded(SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS)) ||
            !odbc_succeeded(SQLNumResultCols(stmt.get(), &columns))) {
            ADD_FAILURE() << sql << ": " << odbc_diag(SQL_HANDLE_STMT, stmt.get());
        }
        while (columns > 0 && odbc_succeeded(SQLFetch(stmt.get()))) {
            std::string& row = rows.emplace_back();
            for (SQLUSMALLINT column = 1; column <= static_cast<SQLUSMALLINT>(columns); ++column) {
                char text[4096];
                SQLLEN length = 0;
                SQLGetData(stmt.get(), column, SQL_C_CHAR, text, sizeof text, &length);
                row += (column > 1 ? "|" : "") + std::string(length == SQL_NULL_DATA ? "NULL" : text);
            }
        }
        return rows;
    }
    // "<clients>/<readings>/<events>" rows in the tables.
    std::string tables() {
        return query(
                   "SELECT CONCAT_WS('/', (SELECT COUNT(*) FROM clients), (SELECT COUNT(*) FROM readings), "
                   "(SELECT COUNT(*) FROM events))")
            .at(0);
    }

    test::LogCapture log_;
    DbSettings settings_;
    OdbcEnvironment env_;
    OdbcConnection dbc_;
    std::unique_ptr<Db> db_;
};

TEST_F(DbBatch, FailingRowAfterValidOnesRollsBackTheWholeBatchAndKeepsTheConnection) {
    // clang-format off
    const std::pair<std::string, const char*> cases[] = {
        {batch_head + R"({"node_id":0,"meter_id":1,"volume_gal":1}]})", "refused: reading node_id out of range"},
        // A value the server refuses is invalid data: SQLSTATE class 22.
        {batch_head + R"({"node_id":1,"meter_id":1,"volume_gal":1,"gateway_received_at":"2024-05-01T25:61:00Z"}]})",
         R"(refused: insert readings: \[22[0-9A-Z]{3}\] .+)"}
    };
    // clang-format on
    for (const auto& [batch, pattern] : cases) {
        const std::string outcome = ingest(batch);
        EXPECT_TRUE(std::regex_match(outcome, std::regex(pattern))) << outcome;
        EXPECT_EQ(log_.count("[ERR] db: rollback \xE2\x80\x94 " + outcome.substr(9) + "\n"), 1) << outcome;
        EXPECT_EQ(tables(), "0/0/0");
    }
    // The connection stays; a section that is no array, and elements that
    // are no objects, write nothing.
    EXPECT_EQ(ingest(R"({"clients":{"node_id":1},"readings":[true,)" + valid_reading + R"(],"events":[[],)" +
                     valid_event + "]}"),
              "0/1/1");
    EXPECT_EQ(tables(), "0/1/1");
    EXPECT_EQ(log_.count(connected_line), 1);
}

// Texts were bound as NUL-terminated: "\u0000boot" was stored as an empty
// event_type, "ab\u0000cd" as "ab". Raw UTF-8 and escapes are stored as the
// same bytes, and a text longer than the size declared to the driver whole.
// A client sent again keeps its first_seen, takes the rest anew, and counts
// as a row each time.
TEST_F(DbBatch, TextIsStoredAsExactlyTheBytesTheJsonHeldAndAClientKeepsItsFirstSeen) {
    const std::string raw = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", escaped = R"(\u00e9\u20ac\ud83d\ude00)";
    const std::string hex = "C3A9E282ACF09F9880", x40(40, 'x');
    ASSERT_EQ(ingest(R"({"batch_window_end":"2024-05-01","clients":[{"node_id":5,"chip":"ab\u0000cd","fw_version":")" +
                     raw + R"("},{"node_id":6,"last_seen":"2024-04-30"},{"node_id":6,"chip":")" + x40 +
                     R"(","last_lqi":-1}],"events":[{"event_type":"\u0000boot"},{"event_type":")" + escaped +
                     R"(","payload":[")" + raw + R"("]}]})"),
              "3/0/2");
    EXPECT_EQ(query("SELECT HEX(chip), HEX(fw_version) FROM clients WHERE node_id = 5"), Rows{"6162006364|" + hex});
    EXPECT_EQ(query("SELECT * FROM clients WHERE node_id = 6"),
              Rows{"6|" + x40 + "|0.0.0|2024-04-30 00:00:00|2024-05-01 00:00:00|NULL|4294967295"});
    EXPECT_EQ(query("SELECT HEX(event_type), HEX(payload_json) FROM events ORDER BY id"),
              (Rows{"00626F6F74|NULL", hex + "|5B22" + hex + "225D"}));
}

TEST_F(DbBatch, ConcurrentBatchesAreEachAllOrNothing) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int b = 0; b < 6; ++b) {  // every odd batch ends with an invalid reading
                std::string doc = R"({"batch_window_end":"2024-05-01","events":[{"event_type":"e"}],"clients":[)";
                doc += R"({"node_id":)" + std::to_string(t + 1) + R"(}],"readings":[)";
                for (int r = 0; r < 25; ++r)
                    doc += R"({"node_id":1,"volume_gal":1,"meter_id":)" + std::to_string(t * 10 + b) + "},";
                doc += b % 2 ? R"({"node_id":0}]})" : "null]}";
                if (ingest(doc) != (b % 2 ? "refused: reading node_id out of range" : "1/25/1")) ++wrong;
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(tables(), "4/300/12");
    EXPECT_EQ(query("SELECT meter_id FROM readings GROUP BY meter_id HAVING COUNT(*) <> 25 OR meter_id % 2"), Rows{});
}

// A failed step of SQLSTATE class 08, a time-out, or the client library's
// "server gone" or "lost connection" under another state leaves a
// connection that may still look alive but takes nothing (a cluster node
// that left its cluster): it is dropped, so the next batch connects anew.
// Other failures keep it. A connection the server killed is replaced by the
// next batch.
TEST_F(DbBatch, LostOrKilledConnectionIsReplacedByTheNextBatch) {
    ASSERT_NE(settings_.mysql_pass.find(';'), std::string::npos) << "the private server's password lost its ';'";
    const std::string batch = "{\"readings\":[" + valid_reading + "," + valid_reading + "]}";
    const std::tuple<std::string, long, int> cases[] = {// state, error number, connects
                                                        {"40001", 0, 1},
                                                        {"08S01", 0, 2},
                                                        {"HYT00", 0, 3},
                                                        {"HY000", 2013, 4}};
    for (const auto& [state, native_error, connects] : cases) {
        inject_odbc_failure(OdbcCall::execute, 2, state, native_error);
        const std::string error = "insert readings: [" + state + "] injected failure";
        EXPECT_EQ(ingest(batch), "unavailable: " + error);
        EXPECT_EQ(db_->last_known().reason, state == "40001" ? "" : error) << "down only when the connection went";
        EXPECT_EQ(ingest(event_batch), "0/0/1") << state;
        EXPECT_EQ(log_.count(connected_line), connects) << state;
    }
    query("KILL " + query("SELECT ID FROM information_schema.PROCESSLIST WHERE DB = '" + settings_.mysql_db +
                          "' AND ID <> CONNECTION_ID()")
                        .at(0));
    EXPECT_EQ(ingest(event_batch), "0/0/1");
    EXPECT_EQ(log_.count(connected_line + std::to_string(settings_.mysql_port) + " db=" + settings_.mysql_db +
                         " user=" + settings_.mysql_user + "\n"),
              5);
    EXPECT_EQ(tables(), "0/0/5");
    EXPECT_EQ(log_.count("cannot read max_allowed_packet"), 0) << "each connect reads it";
    EXPECT_EQ(log_.count("[WRN] db: not ready: insert readings: ["), 3);
    EXPECT_EQ(log_.count("[INF] db: ready\n"), 3);
}

// A user without INSERT privilege showed up as "[HY010] Function sequence
// error": the prepare's own failure went unread; it carries the server's
// refusal. A refused login fails the batch with one line, and no password in
// it. A diagnostic longer than its buffer is cut to 511 bytes: the MariaDB
// driver keeps no longer record (one that does not fit loses its message),
// but the driver manager names a driver it cannot load.
TEST_F(DbBatch, PrepareOrLoginFailureCarriesItsOwnReason) {
    DbSettings wrong = settings_;
    wrong.mysql_user = test::mariadb_fact("reader");  // SELECT on the server's own database only
    wrong.mysql_pass = test::mariadb_fact("reader_password");
    wrong.mysql_db = test::mariadb_fact("database");
    Db reader(wrong);
    const std::string denied = ingest(event_batch, {}, &reader);
    EXPECT_TRUE(std::regex_match(
        denied, std::regex(R"(unavailable: prepare events failed: \[42000\] .*INSERT command denied.*)")))
        << denied;
    wrong = settings_;
    wrong.mysql_pass += "-wrong";
    Db refused(wrong);
    EXPECT_EQ(ingest("{}", {}, &refused), "unavailable: db connect failed");
    EXPECT_EQ(log_.count("[ERR] db: SQLDriverConnect failed: ["), 1);
    EXPECT_EQ(log_.count(settings_.mysql_pass), 0);
    wrong.odbc_driver.assign(600, 'd');
    Db unknown_driver(wrong);
    EXPECT_EQ(ingest("{}", {}, &unknown_driver), "unavailable: db connect failed");
    const std::string manager_text = "[unixODBC][Driver Manager]Can't open lib '" + wrong.odbc_driver;
    EXPECT_EQ(log_.count("[ERR] db: SQLDriverConnect failed: [01000] " + manager_text.substr(0, 511) + "\n"), 1);
}

// Readiness answers from the latest contact while it is fresh, and probes
// otherwise. A server that is not there, refuses the login or never answers
// (a listener that never replies, as a frozen server) is down with the
// driver's reason and no password, within 5 s; callers at once share one
// probe.
TEST_F(DbBatch, ReadinessIsTheLatestContactOrOneProbeAndSaysWhyTheServerIsDown) {
    ASSERT_TRUE(socket_library_startup());
    Socket silent(open_tcp_socket());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ASSERT_TRUE(parse_ipv4("127.0.0.1", address.sin_addr) && bind_ipv4(silent.get(), address) &&
                listen_max(silent.get()));
    const std::string port = std::to_string(settings_.mysql_port), pass = settings_.mysql_pass;
    const std::string refused = R"(db connect failed: \[HY000\] .*Can't connect.*)";
    struct Case {
        std::string port, password;
        bool batch_first;  // a batch before readiness is asked
        std::string reason;
        std::uint64_t probes;
    };
    // clang-format off
    const Case cases[] = {
        {port, pass, true, "", 0}, {port, pass, false, "", 1},
        {"1", pass, true, refused, 0}, {"1", pass, false, refused, 1},
        {port, pass + "-wrong", false, R"(db connect failed: \[28000\] .*Access denied.*)", 1},
        {std::to_string(local_port(silent.get())), pass, false, R"(db connect failed: \[08S01\] .*handshake.*)", 1}
    };
    // clang-format on
    for (const auto& c : cases) {
        DbSettings settings = settings_;
        settings.mysql_port = static_cast<std::uint16_t>(std::stoul(c.port));
        settings.mysql_pass = c.password;
        Db db(settings);
        EXPECT_EQ(db.last_known().reason, "no contact with the database yet");
        if (c.batch_first) ingest("{}", {}, &db);
        std::vector<std::pair<DbState, std::chrono::steady_clock::duration>> answers(8);
        std::vector<std::thread> callers;
        for (auto& answer : answers)
            callers.emplace_back([&db, &answer] {
                const auto begin = std::chrono::steady_clock::now();
                answer.first = db.readiness();
                answer.second = std::chrono::steady_clock::now() - begin;
            });
        for (std::thread& caller : callers) caller.join();
        for (const auto& [state, took] : answers) {
            EXPECT_LT(took, std::chrono::seconds(5));
            EXPECT_EQ(state.up, c.reason.empty());
            EXPECT_TRUE(std::regex_match(state.reason, std::regex(c.reason))) << state.reason;
            EXPECT_EQ(state.reason.find(pass), std::string::npos);
        }
        EXPECT_EQ(db.probes(), c.probes) << c.port;
    }
    EXPECT_EQ(log_.count("[WRN] db: not ready: db connect failed: ["), 4);
}

// Autocommit-off, the binds and the rollback went unchecked: a failed batch
// could be stored in part. A failed commit must not be committed after all
// by the switch back to autocommit. A client that gave up while its batch
// waited sends it again: writing this copy too stored it twice.
TEST_F(DbBatch, FailedTransactionCallOrGoneClientStoresNothingAndDropsAConnectionInDoubt) {
    const std::string good = batch_head + valid_reading + "]}", bad = batch_head + R"({"node_id":0}]})";
    const std::string out_of_range = "refused: reading node_id out of range";
    struct Case {
        OdbcCall call;
        int nth;  // 0: nothing injected
        const char* state;
        const std::string& batch;
        std::string reply, log_line;
        bool dropped;
        int gone_at = 0;  // the question about the client that it answers "gone"; 0: never
    };
    // clang-format off
    const Case cases[] = {
        {OdbcCall::autocommit_off, 1, "HY000", good, "unavailable: begin transaction: [HY000] injected failure",
         "[ERR] db: begin transaction: [HY000] injected failure", true},
        // The client's 7 binds come first. A bind is made in the client: a
        // class 22 state does not make the row's content refused.
        {OdbcCall::bind, 9, "22003", good, "unavailable: bind readings: [22003] injected failure",
         "[ERR] db: rollback \xE2\x80\x94 bind readings: [22003] injected failure", false},
        {OdbcCall::rollback, 1, "HY000", bad, out_of_range,
         "[ERR] db: rollback failed: [HY000] injected failure; connection dropped", true},
        {OdbcCall::autocommit_on, 1, "HY001", bad, out_of_range,
         "[ERR] db: autocommit on failed: [HY001] injected failure; connection dropped", true},
        {OdbcCall::commit, 1, "HY000", good, "unavailable: commit failed: [HY000] injected failure",
         "[ERR] db: commit failed: [HY000] injected failure", true},
        // Committed is the reply: a 503 would have the batch sent, and stored, twice.
        {OdbcCall::autocommit_on, 1, "HY010", good, "1/2/0",
         "[ERR] db: autocommit on failed: [HY010] injected failure; connection dropped", true},
        {OdbcCall::commit, 0, "", good, "gone: client gone",
         "[WRN] db: client gone before its batch began; nothing written", false, 1},
        {OdbcCall::commit, 0, "", good, "gone: client gone", "[WRN] db: client gone before commit; batch rolled back",
         false, 2},
    };
    // clang-format on
    int connects = 1;
    for (const Case& c : cases) {
        inject_odbc_failure(c.call, c.nth, c.state);
        int questions = 0;
        EXPECT_EQ(ingest(c.batch, [&] { return ++questions == c.gone_at; }), c.reply);
        EXPECT_EQ(log_.count(c.log_line + "\n"), 1) << c.log_line;
        EXPECT_EQ(ingest(event_batch), "0/0/1") << c.log_line;
        connects += c.dropped ? 1 : 0;
        EXPECT_EQ(log_.count(connected_line), connects) << c.log_line;
    }
    EXPECT_EQ(tables(), "1/2/8");
}

// The fenced block of `markdown` whose opening line is ```<info>, without
// its fences; "" when there is none.
std::string fenced_block(const std::string& markdown, const std::string& info) {
    const std::string open = "```" + info + "\n";
    const std::size_t begin = markdown.find(open);
    if (begin == std::string::npos) return "";
    const std::size_t body = begin + open.size();
    return markdown.substr(body, markdown.find("```", body) - body);
}

// docs/batch-format.md shows a batch, its reply and the rows it leaves; a
// firmware author relies on them, so they are what the service does: the
// batch goes through the ingest handler into an empty database.
TEST_F(DbBatch, TheBatchFormatReferenceShowsWhatIsStored) {
    const std::string reference = test::text_of(test::source_path("docs/batch-format.md"));
    HttpRequest request;
    request.method = "POST";
    request.path = "/api/ingest";
    request.body = fenced_block(reference, "json batch");
    const std::string received = utc_now_text();
    const HttpResponse reply = handle_ingest_request(
        request, "",
        [this](const JsonValue& root, IngestCounts& counts, const std::function<bool()>&) {
            return db_->ingest_batch(root, counts);
        },
        *db_);
    EXPECT_EQ(std::to_string(reply.status) + " " + reply.body + "\n", "200 " + fenced_block(reference, "text reply"));
    const std::pair<const char*, const char*> tables[] = {
        {"clients", "SELECT * FROM clients ORDER BY node_id"},
        {"readings",
         "SELECT node_id, meter_id, protocol, volume_gal, flow_gpm, freq_hz, rssi_dbm, "
         "gateway_received_at FROM readings ORDER BY id"},
        {"events", "SELECT node_id, event_type, payload_json, gateway_received_at FROM events ORDER BY id"}};
    for (const auto& [table, sql] : tables) {
        std::string rows;
        for (std::string row : query(sql)) {
            const std::string stamp = row.size() >= 19 ? row.substr(row.size() - 19) : "";
            if (received <= stamp && stamp <= utc_now_text()) row.replace(row.size() - 19, 19, "<received>");
            rows += row + "\n";
        }
        EXPECT_EQ(rows, fenced_block(reference, std::string("text ") + table)) << table;
    }
}

}  // namespace
}  // namespace tarn
