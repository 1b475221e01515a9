// Db::ingest_batch and the connection life on a real MariaDB, through ODBC.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "db/db.h"
#include "db_test_support.h"
#include "json/json_parser.h"

namespace tarn {
namespace {

using test::SqlRow;

const char* const em_dash = "\xE2\x80\x94";

SqlRow row(std::initializer_list<std::optional<std::string>> values) { return SqlRow(values); }

std::string to_hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

// Each test gets its own database with empty tables, a Db logged in to it,
// a second session for reading back, and the log in a file of its own.
class DbBatch : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(test::read_test_mariadb_server(server_, error)) << error;
        Db login(test::settings_for(server_, server_.database));
        ASSERT_TRUE(admin_.open(login.connection_string(), error)) << error;
        ASSERT_TRUE(scratch_.create(admin_, error)) << error;
        db_ = std::make_unique<Db>(settings());
    }

    DbSettings settings() const { return test::settings_for(server_, scratch_.name()); }

    bool ingest(const std::string& json, IngestCounts& counts) { return ingest_into(*db_, json, counts); }

    static bool ingest_into(Db& db, const std::string& json, IngestCounts& counts) {
        JsonValue root;
        std::string error;
        EXPECT_TRUE(parse_json(json, root, error)) << error << " in " << json;
        return db.ingest_batch(root, counts);
    }

    std::vector<SqlRow> query(const std::string& sql) {
        std::vector<SqlRow> rows;
        std::string error;
        EXPECT_TRUE(admin_.query(sql, rows, error)) << error;
        return rows;
    }

    std::string scalar(const std::string& sql) {
        const std::vector<SqlRow> rows = query(sql);
        if (rows.empty() || rows[0].empty()) return "<no row>";
        return rows[0][0].value_or("<NULL>");
    }

    int rows_in(const char* table) { return std::stoi(scalar(std::string("SELECT COUNT(*) FROM ") + table)); }

    void expect_all_tables_empty() {
        EXPECT_EQ(rows_in("clients"), 0);
        EXPECT_EQ(rows_in("readings"), 0);
        EXPECT_EQ(rows_in("events"), 0);
    }

    std::string connected_line() const {
        return "db: connected via ODBC driver 'MariaDB Unicode' to 127.0.0.1:" + std::to_string(server_.port) +
               " db=" + scratch_.name() + " user=" + server_.user;
    }

    // Ids of the server sessions on the scratch database other than ours.
    std::vector<std::string> db_session_ids() {
        std::vector<std::string> ids;
        for (const SqlRow& r : query("SELECT ID FROM information_schema.PROCESSLIST WHERE DB = '" + scratch_.name() +
                                     "' AND ID <> CONNECTION_ID()")) {
            ids.push_back(r[0].value_or(""));
        }
        return ids;
    }

    test::LogCapture log_;
    test::MariaDbServer server_;
    test::SqlSession admin_;
    test::ScratchDatabase scratch_;
    std::unique_ptr<Db> db_;
};

TEST_F(DbBatch, EmptyBatchesCommitWithZeroCounts) {
    const char* const documents[] = {
        "{}",
        R"({"clients":[],"readings":[],"events":[]})",
        R"({"batch_window_end":"2024-05-01T00:00:00Z","unknown":[1,2]})",
    };
    for (const char* document : documents) {
        IngestCounts counts;
        EXPECT_TRUE(ingest(document, counts)) << document << ": " << counts.error;
        EXPECT_EQ(counts.clients_upserted, 0) << document;
        EXPECT_EQ(counts.readings_inserted, 0) << document;
        EXPECT_EQ(counts.events_inserted, 0) << document;
        EXPECT_EQ(counts.error, "") << document;
    }
    expect_all_tables_empty();
}

TEST_F(DbBatch, ClientsStoreEveryColumnAndNullForAbsentValues) {
    IngestCounts counts;
    ASSERT_TRUE(ingest(R"({"batch_window_end":"2024-05-01T12:00:00Z","clients":[
        {"node_id":7,"chip":"ESP32-C6","fw_version":"1.4.2","last_seen":"2024-05-01T11:59:30.250Z",
         "last_rssi_dbm":-71.5,"last_lqi":200},
        {"node_id":254},
        {"node_id":3,"chip":"","last_rssi_dbm":"strong","last_lqi":-1}]})",
                       counts))
        << counts.error;
    EXPECT_EQ(counts.clients_upserted, 3);
    EXPECT_EQ(query("SELECT node_id, chip, fw_version, first_seen, last_seen, last_rssi_dbm, last_lqi "
                    "FROM clients ORDER BY node_id"),
              (std::vector<SqlRow>{
                  row({"3", "", "0.0.0", "2024-05-01 12:00:00", "2024-05-01 12:00:00", std::nullopt, "4294967295"}),
                  row({"7", "ESP32-C6", "1.4.2", "2024-05-01 11:59:30", "2024-05-01 11:59:30", "-71.5", "200"}),
                  row({"254", "unknown", "0.0.0", "2024-05-01 12:00:00", "2024-05-01 12:00:00", std::nullopt,
                       std::nullopt}),
              }));
}

TEST_F(DbBatch, UpsertKeepsFirstSeenAndUpdatesTheRest) {
    IngestCounts first;
    ASSERT_TRUE(ingest(R"({"clients":[{"node_id":9,"chip":"A","fw_version":"1.0","last_seen":"2024-05-01T10:00:00Z",
                                       "last_rssi_dbm":-60,"last_lqi":100}]})",
                       first))
        << first.error;
    IngestCounts second;
    ASSERT_TRUE(ingest(R"({"clients":[{"node_id":9,"chip":"B","fw_version":"2.0",
                                       "last_seen":"2024-05-02T10:00:00Z"}]})",
                       second))
        << second.error;
    EXPECT_EQ(second.clients_upserted, 1);
    EXPECT_EQ(query("SELECT node_id, chip, fw_version, first_seen, last_seen, last_rssi_dbm, last_lqi FROM clients"),
              (std::vector<SqlRow>{row({"9", "B", "2.0", "2024-05-01 10:00:00", "2024-05-02 10:00:00", std::nullopt,
                                        std::nullopt})}));
}

TEST_F(DbBatch, SameClientTwiceInOneBatchCountsTwo) {
    IngestCounts counts;
    ASSERT_TRUE(ingest(R"({"clients":[{"node_id":4,"chip":"old","last_seen":"2024-05-01T10:00:00Z"},
                                      {"node_id":4,"chip":"new","last_seen":"2024-05-01T10:05:00Z"}]})",
                       counts))
        << counts.error;
    EXPECT_EQ(counts.clients_upserted, 2);
    EXPECT_EQ(query("SELECT chip, first_seen, last_seen FROM clients"),
              (std::vector<SqlRow>{row({"new", "2024-05-01 10:00:00", "2024-05-01 10:05:00"})}));
}

TEST_F(DbBatch, ReadingsStoreEveryColumnAndNullForAbsentValues) {
    IngestCounts counts;
    ASSERT_TRUE(ingest(R"({"batch_window_end":"2024-05-01T12:00:00Z","readings":[
        {"node_id":3,"meter_id":123456,"protocol":7,"volume_gal":12345,"flow_gpm":1.25,"freq_hz":868,
         "rssi_dbm":-80.5,"gateway_received_at":"2024-05-01T12:34:56+02:00"},
        {"node_id":4,"meter_id":0,"protocol":223,"volume_gal":12345,"gateway_received_at":"2024-05-01T12:35:00Z"},
        {"node_id":254,"meter_id":4294967295,"volume_gal":0,"flow_gpm":"fast","freq_hz":null}]})",
                       counts))
        << counts.error;
    EXPECT_EQ(counts.readings_inserted, 3);
    EXPECT_EQ(query("SELECT node_id, meter_id, protocol, volume_gal, flow_gpm, freq_hz, rssi_dbm, gateway_received_at "
                    "FROM readings ORDER BY id"),
              (std::vector<SqlRow>{
                  row({"3", "123456", "7", "1234.5", "1.25", "868", "-80.5", "2024-05-01 12:34:56"}),
                  row({"4", "0", "223", "12345", std::nullopt, std::nullopt, std::nullopt, "2024-05-01 12:35:00"}),
                  row({"254", "4294967295", "0", "0", std::nullopt, std::nullopt, std::nullopt,
                       "2024-05-01 12:00:00"}),
              }));
}

TEST_F(DbBatch, EventsStorePayloadTextAndNullForAbsentValues) {
    IngestCounts counts;
    ASSERT_TRUE(ingest(R"({"batch_window_end":"2024-05-01T08:00:00Z","events":[
        {"node_id":12,"event_type":"boot","payload":{"a":[1,2]},"gateway_received_at":"2024-05-01T07:00:00Z"},
        {"node_id":255,"event_type":"json_null","payload":null},
        {"event_type":"no_payload"},
        {"node_id":0,"event_type":"string","payload":"x"}]})",
                       counts))
        << counts.error;
    EXPECT_EQ(counts.events_inserted, 4);
    EXPECT_EQ(query("SELECT node_id, event_type, payload_json, gateway_received_at FROM events ORDER BY id"),
              (std::vector<SqlRow>{
                  row({"12", "boot", R"({"a":[1,2]})", "2024-05-01 07:00:00"}),
                  row({std::nullopt, "json_null", "null", "2024-05-01 08:00:00"}),
                  row({std::nullopt, "no_payload", std::nullopt, "2024-05-01 08:00:00"}),
                  row({std::nullopt, "string", R"("x")", "2024-05-01 08:00:00"}),
              }));
}

TEST_F(DbBatch, NonObjectElementsNonArraySectionsAndInvalidClientsAreSkipped) {
    struct Case {
        const char* document;
        int clients, readings, events;
    };
    const Case cases[] = {
        {R"({"clients":{"node_id":1},"readings":7,"events":"x"})", 0, 0, 0},
        {R"({"clients":[1,"x",null,[],true],"readings":[[{"node_id":1}]],"events":[false]})", 0, 0, 0},
        {R"({"clients":[{"node_id":0},{"node_id":255},{"chip":"no node"}]})", 0, 0, 0},
        {R"({"readings":[1,{"node_id":2,"meter_id":1,"volume_gal":10,"gateway_received_at":"2024-05-01T00:00:00Z"}],
             "events":[null,{"event_type":"e","gateway_received_at":"2024-05-01T00:00:00Z"}]})",
         0, 1, 1},
    };
    int readings = 0;
    int events = 0;
    for (const Case& c : cases) {
        IngestCounts counts;
        EXPECT_TRUE(ingest(c.document, counts)) << c.document << ": " << counts.error;
        EXPECT_EQ(counts.clients_upserted, c.clients) << c.document;
        EXPECT_EQ(counts.readings_inserted, c.readings) << c.document;
        EXPECT_EQ(counts.events_inserted, c.events) << c.document;
        readings += c.readings;
        events += c.events;
    }
    EXPECT_EQ(rows_in("clients"), 0);
    EXPECT_EQ(rows_in("readings"), readings);
    EXPECT_EQ(rows_in("events"), events);
}

// Valid rows in every section in front of the faulty element.
const char* const valid_clients = R"("clients":[{"node_id":1,"last_seen":"2024-05-01T00:00:00Z"},
                                                {"node_id":2,"last_seen":"2024-05-01T00:00:00Z"}])";
const char* const valid_reading =
    R"({"node_id":1,"meter_id":11,"volume_gal":100,"gateway_received_at":"2024-05-01T00:00:00Z"})";
const char* const valid_event = R"({"event_type":"boot","gateway_received_at":"2024-05-01T00:00:00Z"})";

TEST_F(DbBatch, InvalidContentAfterValidRowsRollsBackEverything) {
    struct Case {
        std::string document;
        const char* error;
    };
    const std::string head = std::string("{") + valid_clients + ",";
    const Case cases[] = {
        {head + R"("readings":[)" + valid_reading + R"(,{"node_id":0,"meter_id":1,"volume_gal":1}]})",
         "reading node_id out of range"},
        {head + R"("readings":[)" + valid_reading + R"(,{"node_id":1,"volume_gal":1}]})",
         "reading missing required field"},
        {head + R"("readings":[)" + valid_reading + R"(],"events":[)" + valid_event +
             R"(,{"gateway_received_at":"2024-05-01T00:00:00Z"}]})",
         "event missing required field"},
    };
    for (const Case& c : cases) {
        IngestCounts counts;
        EXPECT_FALSE(ingest(c.document, counts)) << c.document;
        EXPECT_EQ(counts.error, c.error);
        EXPECT_EQ(log_.count(std::string("[ERR] db: rollback ") + em_dash + " " + c.error), 1) << c.error;
        expect_all_tables_empty();
    }
    // The connection survives a rollback and takes the next batch.
    IngestCounts counts;
    EXPECT_TRUE(ingest(head + R"("readings":[)" + valid_reading + "]}", counts)) << counts.error;
    EXPECT_EQ(rows_in("readings"), 1);
    EXPECT_EQ(log_.count("db: connected via"), 1);
}

TEST_F(DbBatch, DriverErrorOnALaterRowRollsBackWithStepNameAndSqlState) {
    struct Case {
        std::string document;
        const char* step;
    };
    const std::string head = std::string("{") + valid_clients + ",";
    const Case cases[] = {
        {R"({"clients":[{"node_id":1,"last_seen":"2024-05-01T00:00:00Z"},
                        {"node_id":2,"last_seen":"2024-13-45T99:99:99Z"}]})",
         "upsert clients"},
        {head + R"("readings":[)" + valid_reading +
             R"(,{"node_id":1,"meter_id":12,"volume_gal":5,"gateway_received_at":"2024-05-01T25:61:00Z"}]})",
         "insert readings"},
        {head + R"("readings":[)" + valid_reading + R"(],"events":[)" + valid_event +
             R"(,{"event_type":"late","gateway_received_at":"yesterday"}]})",
         "insert events"},
    };
    for (const Case& c : cases) {
        IngestCounts counts;
        EXPECT_FALSE(ingest(c.document, counts)) << c.document;
        // A value the server refuses is invalid data: SQLSTATE class 22.
        EXPECT_TRUE(std::regex_search(counts.error, std::regex(std::string("^") + c.step + R"(: \[22[0-9A-Z]{3}\] .)")))
            << counts.error;
        EXPECT_EQ(log_.count(std::string("[ERR] db: rollback ") + em_dash + " " + counts.error), 1) << counts.error;
        expect_all_tables_empty();
    }
}

TEST_F(DbBatch, Utf8TextIsStoredAsTheSameBytes) {
    const std::string text = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // é € U+1F600
    IngestCounts counts;
    ASSERT_TRUE(ingest(std::string(R"({"clients":[{"node_id":5,"chip":")") + text +
                           R"(","fw_version":"\u00e9\u20ac\ud83d\ude00","last_seen":"2024-05-01T00:00:00Z"}],
                          "events":[{"event_type":")" +
                           text + R"(","payload":{"raw":")" + text +
                           R"(","escaped":"\ud83d\ude00"},"gateway_received_at":"2024-05-01T00:00:00Z"}]})",
                       counts))
        << counts.error;
    EXPECT_EQ(query("SELECT HEX(chip), HEX(fw_version) FROM clients"),
              (std::vector<SqlRow>{row({to_hex(text), to_hex(text)})}));
    const std::string payload = std::string(R"({"raw":")") + text + R"(","escaped":")" + "\xF0\x9F\x98\x80" + "\"}";
    EXPECT_EQ(query("SELECT HEX(event_type), HEX(payload_json), CHAR_LENGTH(event_type) FROM events"),
              (std::vector<SqlRow>{row({to_hex(text), to_hex(payload), "3"})}));
}

TEST_F(DbBatch, TextsLongerThanTheirDeclaredSizesAreStoredWhole) {
    const std::string chip(64, 'c');
    const std::string fw_version(64, 'f');
    const std::string event_type(128, 'e');
    const std::string payload_text(100000, 'p');
    IngestCounts counts;
    ASSERT_TRUE(ingest(R"({"clients":[{"node_id":1,"chip":")" + chip + R"(","fw_version":")" + fw_version +
                           R"(","last_seen":"2024-05-01T00:00:00Z"}],"events":[{"event_type":")" + event_type +
                           R"(","payload":")" + payload_text + R"(","gateway_received_at":"2024-05-01T00:00:00Z"}]})",
                       counts))
        << counts.error;
    EXPECT_EQ(query("SELECT chip, fw_version FROM clients"), (std::vector<SqlRow>{row({chip, fw_version})}));
    EXPECT_EQ(query("SELECT event_type, LENGTH(payload_json) FROM events"),
              (std::vector<SqlRow>{row({event_type, std::to_string(payload_text.size() + 2)})}));
}

TEST_F(DbBatch, ServerRefusesInvalidValuesInsteadOfStoringThem) {
    EXPECT_NE(scalar("SELECT @@SESSION.sql_mode").find("STRICT_TRANS_TABLES"), std::string::npos);
}

TEST_F(DbBatch, ConcurrentBatchesAreEachAllOrNothing) {
    constexpr int threads = 4;
    constexpr int batches_per_thread = 6;
    constexpr int readings_per_batch = 25;
    std::vector<std::thread> workers;
    std::vector<int> committed(threads, 0);
    std::vector<int> wrong_counts(threads, 0);
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int b = 0; b < batches_per_thread; ++b) {
                const int meter = t * 1000 + b;
                std::string document = R"({"batch_window_end":"2024-05-01T00:00:00Z","clients":[{"node_id":)" +
                                       std::to_string(t + 1) + R"(}],"readings":[)";
                for (int r = 0; r < readings_per_batch; ++r) {
                    if (r > 0) document += ",";
                    document += R"({"node_id":1,"volume_gal":1,"meter_id":)" + std::to_string(meter) + "}";
                }
                // Every other batch ends with a reading that fails it.
                if (b % 2 == 1) document += R"(,{"node_id":0})";
                document += R"(],"events":[{"event_type":"batch"}]})";
                IngestCounts counts;
                const bool ok = ingest_into(*db_, document, counts);
                if (ok) ++committed[static_cast<std::size_t>(t)];
                if (ok != (b % 2 == 0) ||
                    (ok && (counts.readings_inserted != readings_per_batch || counts.events_inserted != 1 ||
                            counts.clients_upserted != 1))) {
                    ++wrong_counts[static_cast<std::size_t>(t)];
                }
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    int total = 0;
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(wrong_counts[static_cast<std::size_t>(t)], 0) << "thread " << t;
        total += committed[static_cast<std::size_t>(t)];
    }
    EXPECT_EQ(total, threads * batches_per_thread / 2);
    EXPECT_EQ(rows_in("readings"), total * readings_per_batch);
    EXPECT_EQ(rows_in("events"), total);
    EXPECT_EQ(rows_in("clients"), threads);
    // Every meter has either all of its batch's readings or none.
    for (const SqlRow& r : query("SELECT meter_id, COUNT(*) FROM readings GROUP BY meter_id")) {
        const int meter = std::stoi(r[0].value_or("-1"));
        EXPECT_EQ(meter % 1000 % 2, 0) << "a failed batch left meter " << meter;
        EXPECT_EQ(r[1], std::to_string(readings_per_batch)) << "meter " << meter;
    }
    EXPECT_EQ(log_.count("db: connected via"), 1);
}

class DbConnection : public DbBatch {};

TEST_F(DbConnection, FirstBatchConnectsAndLaterBatchesReuseTheConnection) {
    EXPECT_TRUE(db_session_ids().empty()) << "a Db must not connect before its first batch";
    for (int i = 0; i < 3; ++i) {
        IngestCounts counts;
        EXPECT_TRUE(ingest("{}", counts)) << counts.error;
    }
    EXPECT_EQ(log_.count("[INF] " + connected_line()), 1);
    EXPECT_EQ(db_session_ids().size(), 1u);
}

TEST_F(DbConnection, ConnectionKilledBetweenBatchesIsReplacedByTheNextBatch) {
    IngestCounts first;
    ASSERT_TRUE(ingest(std::string("{\"events\":[") + valid_event + "]}", first)) << first.error;
    const std::vector<std::string> ids = db_session_ids();
    ASSERT_EQ(ids.size(), 1u);
    std::string error;
    ASSERT_TRUE(admin_.exec("KILL " + ids[0], error)) << error;

    IngestCounts second;
    EXPECT_TRUE(ingest(std::string("{\"events\":[") + valid_event + "]}", second)) << second.error;
    EXPECT_EQ(rows_in("events"), 2);
    EXPECT_EQ(log_.count(connected_line()), 2);
    EXPECT_EQ(log_.count("SQLDriverConnect failed"), 0);
    const std::vector<std::string> now = db_session_ids();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_NE(now[0], ids[0]);
}

TEST_F(DbConnection, PasswordWithSemicolonConnects) {
    ASSERT_NE(server_.password.find(';'), std::string::npos) << "the private server's password lost its ';'";
    EXPECT_NE(db_->connection_string().find("PWD={"), std::string::npos);
    IngestCounts counts;
    EXPECT_TRUE(ingest("{}", counts)) << counts.error;
}

TEST_F(DbConnection, RefusedLoginFailsTheBatchWithOneConnectLine) {
    struct Case {
        const char* name;
        DbSettings settings;
    };
    DbSettings wrong_password = settings();
    wrong_password.mysql_pass += "-wrong";
    DbSettings closed_port = settings();
    closed_port.mysql_port = 1;  // nothing listens there
    DbSettings unknown_driver = settings();
    unknown_driver.odbc_driver = "No Such Driver";
    const Case cases[] = {{"wrong password", wrong_password},
                          {"closed port", closed_port},
                          {"unknown driver", unknown_driver}};
    for (const Case& c : cases) {
        test::LogCapture log;
        Db db(c.settings);
        IngestCounts counts;
        EXPECT_FALSE(ingest_into(db, R"({"events":[{"event_type":"e","gateway_received_at":"2024-05-01"}]})", counts))
            << c.name;
        EXPECT_EQ(counts.error, "db connect failed") << c.name;
        EXPECT_EQ(counts.events_inserted, 0) << c.name;
        EXPECT_EQ(log.count("[ERR] db: SQLDriverConnect failed: ["), 1) << c.name;
        EXPECT_EQ(log.count(server_.password), 0) << c.name << ": the password reached the log";
        EXPECT_EQ(log.lines().size(), 1u) << c.name;
    }
    expect_all_tables_empty();
}

}  // namespace
}  // namespace tarn
