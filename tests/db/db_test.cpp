// Db::ingest_batch and the connection life on a real MariaDB, through ODBC.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "db_test_support.h"

namespace tarn {
namespace {

using Rows = std::vector<test::SqlRow>;
const std::nullopt_t null = std::nullopt;
const std::string valid_reading = R"({"node_id":1,"meter_id":11,"volume_gal":100,"gateway_received_at":"2024-05-01"})";
const std::string valid_event = R"({"event_type":"boot","gateway_received_at":"2024-05-01T00:00:00Z"})";

// Each test gets a database of its own with empty copies of the tables, a Db
// logged in to it, a second session for reading back, and its own log file.
class DbBatch : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string dir = test::host_path(test::env_or("TARN_TEST_MARIADB_DIR", ""));
        ASSERT_TRUE(test::read_mariadb_settings(dir, settings_));
        ASSERT_TRUE(admin_.open(Db(settings_).connection_string()));
        const std::string source = settings_.mysql_db;
        settings_.mysql_db = "tarn_test_" + std::to_string(std::random_device{}());
        admin_.query("CREATE DATABASE " + settings_.mysql_db);
        for (const std::string table : {"clients", "readings", "events"})
            admin_.query("CREATE TABLE " + settings_.mysql_db + "." + table + " LIKE " + source + "." + table);
        admin_.query("USE " + settings_.mysql_db);
        db_ = std::make_unique<Db>(settings_);
    }
    void TearDown() override {
        if (settings_.mysql_db.rfind("tarn_test_", 0) == 0) admin_.query("DROP DATABASE " + settings_.mysql_db);
    }

    std::string ingest(const std::string& json) { return test::ingest(*db_, json); }
    Rows query(const std::string& sql) { return admin_.query(sql); }
    // "<clients>/<readings>/<events>" rows in the tables.
    std::string tables() {
        return *query("SELECT CONCAT((SELECT COUNT(*) FROM clients), '/', (SELECT COUNT(*) FROM readings), '/', "
                      "(SELECT COUNT(*) FROM events))").at(0).at(0);
    }

    test::LogCapture log_;
    DbSettings settings_;
    test::SqlSession admin_;
    std::unique_ptr<Db> db_;
};

TEST_F(DbBatch, EmptyBatchesNonArraySectionsAndNonObjectElementsWriteNothing) {
    EXPECT_EQ(ingest("{}"), "0/0/0");
    EXPECT_EQ(ingest(R"({"clients":[],"readings":[],"events":[]})"), "0/0/0");
    EXPECT_EQ(ingest(R"({"clients":{"node_id":1},"readings":7,"events":"x"})"), "0/0/0");
    const std::string mixed = R"({"clients":[1,null,[]],"readings":[true,)" + valid_reading + R"(],"events":[[],)";
    EXPECT_EQ(ingest(mixed + valid_event + "]}"), "0/1/1");
    EXPECT_EQ(tables(), "0/1/1");
}

TEST_F(DbBatch, EveryColumnIsStoredWithNullForAbsentValues) {
    const std::string long_text(40, 'x');  // longer than the size declared to the driver
    ASSERT_EQ(ingest(R"({"batch_window_end":"2024-05-01T12:00:00Z","clients":[
        {"node_id":7,"chip":")" + long_text + R"(","fw_version":"1.4.2","last_seen":"2024-05-01T11:59:30.250Z",
         "last_rssi_dbm":-71.5,"last_lqi":200},{"node_id":254,"last_rssi_dbm":"x","last_lqi":-1}],"readings":[
        {"node_id":3,"meter_id":123456,"protocol":7,"volume_gal":12345,"flow_gpm":1.25,"freq_hz":868,
         "rssi_dbm":-80.5,"gateway_received_at":"2024-05-01T12:34:56+02:00"},
        {"node_id":4,"meter_id":0,"protocol":223,"volume_gal":12345}],
        "events":[{"node_id":12,"event_type":")" + long_text + R"(","payload":{"a":[1,2]}},
        {"node_id":255,"event_type":"s","payload":"x"},{"event_type":"n","payload":null},{"event_type":"a"}]})"),
              "2/2/4");
    EXPECT_EQ(query("SELECT * FROM clients ORDER BY node_id"),
              (Rows{{"7", long_text, "1.4.2", "2024-05-01 11:59:30", "2024-05-01 11:59:30", "-71.5", "200"},
                    {"254", "unknown", "0.0.0", "2024-05-01 12:00:00", "2024-05-01 12:00:00", null, "4294967295"}}));
    EXPECT_EQ(query("SELECT * FROM readings ORDER BY id"),
              (Rows{{"1", "3", "123456", "7", "1234.5", "1.25", "868", "-80.5", "2024-05-01 12:34:56"},
                    {"2", "4", "0", "223", "12345", null, null, null, "2024-05-01 12:00:00"}}));
    EXPECT_EQ(query("SELECT * FROM events ORDER BY id"),
              (Rows{{"1", "12", long_text, R"({"a":[1,2]})", "2024-05-01 12:00:00"},
                    {"2", null, "s", R"("x")", "2024-05-01 12:00:00"},
                    {"3", null, "n", "null", "2024-05-01 12:00:00"},
                    {"4", null, "a", null, "2024-05-01 12:00:00"}}));
}

TEST_F(DbBatch, UpsertKeepsFirstSeenUpdatesTheRestAndCountsEveryRow) {
    ASSERT_EQ(ingest(R"({"clients":[{"node_id":9,"chip":"A","fw_version":"1.0","last_seen":"2024-05-01T10:00:00Z",
                                     "last_rssi_dbm":-60,"last_lqi":100}]})"), "1/0/0");
    EXPECT_EQ(ingest(R"({"clients":[{"node_id":9,"chip":"B","last_seen":"2024-05-02T10:00:00Z"},
                                    {"node_id":9,"chip":"C","last_seen":"2024-05-03T10:00:00Z"}]})"), "2/0/0");
    EXPECT_EQ(query("SELECT * FROM clients"),
              (Rows{{"9", "C", "0.0.0", "2024-05-01 10:00:00", "2024-05-03 10:00:00", null, null}}));
}

TEST_F(DbBatch, FailingRowAfterValidOnesRollsBackTheWholeBatch) {
    const std::string head = R"({"clients":[{"node_id":1}],"batch_window_end":"2024-05-01","readings":[)" +
                             valid_reading + ",";
    const std::pair<std::string, const char*> cases[] = {
        {head + R"({"node_id":0,"meter_id":1,"volume_gal":1}]})", "reading node_id out of range"},
        // A value the server refuses is invalid data: SQLSTATE class 22.
        {head + R"({"node_id":1,"meter_id":1,"volume_gal":1,"gateway_received_at":"2024-05-01T25:61:00Z"}]})",
         R"(insert readings: \[22[0-9A-Z]{3}\] .+)"},
    };
    for (const auto& c : cases) {
        const std::string error = ingest(c.first);
        EXPECT_TRUE(std::regex_match(error, std::regex(c.second))) << error;
        EXPECT_EQ(log_.count("[ERR] db: rollback \xE2\x80\x94 " + error), 1) << error;
        EXPECT_EQ(tables(), "0/0/0");
    }
    EXPECT_EQ(ingest(head + valid_reading + "]}"), "1/2/0");  // the connection survives a rollback
    EXPECT_EQ(log_.count("db: connected via"), 1);
}

TEST_F(DbBatch, Utf8TextIsStoredAsTheSameBytes) {
    // é € U+1F600 raw, and as JSON escapes with a surrogate pair.
    const std::string raw = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", escaped = R"(\u00e9\u20ac\ud83d\ude00)";
    const std::string hex = "C3A9E282ACF09F9880";
    ASSERT_EQ(ingest(R"({"batch_window_end":"2024-05-01","clients":[{"node_id":5,"chip":")" + raw +
                     R"("}],"events":[{"event_type":")" + escaped + R"(","payload":[")" + raw + R"(",")" + escaped +
                     R"("]}]})"),
              "1/0/1");
    EXPECT_EQ(query("SELECT HEX(chip), HEX(event_type), HEX(payload_json) FROM clients, events"),
              (Rows{{hex, hex, "5B22" + hex + "222C22" + hex + "225D"}}));
}

TEST_F(DbBatch, ConcurrentBatchesAreEachAllOrNothing) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int b = 0; b < 6; ++b) {  // every odd batch ends with an invalid reading
                std::string doc = R"({"batch_window_end":"2024-05-01","events":[{"event_type":"e"}],"clients":[)" +
                                  std::string(R"({"node_id":)") + std::to_string(t + 1) + R"(}],"readings":[)";
                for (int r = 0; r < 25; ++r)
                    doc += R"({"node_id":1,"volume_gal":1,"meter_id":)" + std::to_string(t * 10 + b) + "},";
                doc += b % 2 ? R"({"node_id":0}]})" : "null]}";
                if (ingest(doc) != (b % 2 ? "reading node_id out of range" : "1/25/1")) ++wrong;
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(tables(), "4/300/12");
    EXPECT_EQ(query("SELECT meter_id FROM readings GROUP BY meter_id HAVING COUNT(*) <> 25 OR meter_id % 2"), Rows{});
    EXPECT_EQ(log_.count("db: connected via"), 1);
}

TEST_F(DbBatch, KilledConnectionIsReplacedByTheNextBatch) {
    ASSERT_NE(settings_.mysql_pass.find(';'), std::string::npos) << "the private server's password lost its ';'";
    const std::string batch = "{\"events\":[" + valid_event + "]}";
    EXPECT_EQ(ingest(batch) + " " + ingest(batch), "0/0/1 0/0/1");
    const Rows ids = query("SELECT ID FROM information_schema.PROCESSLIST WHERE DB = '" + settings_.mysql_db +
                           "' AND ID <> CONNECTION_ID()");
    ASSERT_EQ(ids.size(), 1u);
    query("KILL " + ids[0][0].value_or(""));
    EXPECT_EQ(ingest(batch), "0/0/1");
    EXPECT_EQ(log_.count("[INF] db: connected via ODBC driver 'MariaDB Unicode' to 127.0.0.1:" +
                         std::to_string(settings_.mysql_port) + " db=" + settings_.mysql_db +
                         " user=" + settings_.mysql_user), 2);
}

TEST_F(DbBatch, RefusedLoginFailsTheBatchWithOneConnectLineAndNoPassword) {
    DbSettings wrong = settings_;
    wrong.mysql_pass += "-wrong";
    Db db(wrong);
    EXPECT_EQ(test::ingest(db, "{}"), "db connect failed");
    EXPECT_EQ(log_.count("[ERR] db: SQLDriverConnect failed: ["), 1);
    EXPECT_EQ(log_.count(settings_.mysql_pass), 0);
}

}  // namespace
}  // namespace tarn
