// A Db across a stop and a restart of its server: a MariaDB of the test's own,
// started and stopped with scripts/mariadb, so that other tests keep theirs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "db/db.h"
#include "db_test_support.h"
#include "json/json_parser.h"
#include "test_env.h"

namespace tarn {
namespace {

class DbServerRestart : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new std::string(test::make_temp_dir("mariadb"));
        ASSERT_EQ(run_script("start"), 0);
    }
    static void TearDownTestSuite() {
        run_script("stop");
        delete dir_;
        dir_ = nullptr;
    }

    static int run_script(const char* action) {
        const std::string script = test::env_or("TARN_TEST_SOURCE_DIR", ".") + "/scripts/mariadb";
        return std::system((script + " " + action + " '" + *dir_ + "' >>'" + *dir_ + "/script.log' 2>&1").c_str());
    }

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(test::read_mariadb_server(*dir_, server_, error)) << error;
    }

    static bool ingest(Db& db, const char* json, IngestCounts& counts) {
        JsonValue root;
        std::string error;
        EXPECT_TRUE(parse_json(json, root, error)) << error;
        return db.ingest_batch(root, counts);
    }

    static std::string* dir_;
    test::MariaDbServer server_;
};

std::string* DbServerRestart::dir_ = nullptr;

const char* const one_event = R"({"events":[{"event_type":"tick","gateway_received_at":"2024-05-01T00:00:00Z"}]})";

TEST_F(DbServerRestart, StartingAgainReusesTheRunningServer) {
    std::string pid_before;
    ASSERT_TRUE(test::read_file(*dir_ + "/mysqld.pid", pid_before));
    ASSERT_EQ(run_script("start"), 0);
    test::MariaDbServer again;
    std::string error;
    ASSERT_TRUE(test::read_mariadb_server(*dir_, again, error)) << error;
    std::string pid_after;
    ASSERT_TRUE(test::read_file(*dir_ + "/mysqld.pid", pid_after));
    EXPECT_EQ(again.port, server_.port);
    EXPECT_EQ(pid_after, pid_before);
}

TEST_F(DbServerRestart, StoppedServerFailsTheBatchAndTheRestartedServerTakesTheNext) {
    test::LogCapture log;
    Db db(test::settings_for(server_, server_.database));
    IngestCounts first;
    ASSERT_TRUE(ingest(db, one_event, first)) << first.error;

    ASSERT_EQ(run_script("stop"), 0);
    IngestCounts while_down;
    EXPECT_FALSE(ingest(db, one_event, while_down));
    EXPECT_EQ(while_down.error, "db connect failed");
    EXPECT_EQ(log.count("[ERR] db: SQLDriverConnect failed: ["), 1);

    ASSERT_EQ(run_script("start"), 0);
    IngestCounts after;
    EXPECT_TRUE(ingest(db, one_event, after)) << after.error;
    EXPECT_EQ(after.events_inserted, 1);
    EXPECT_EQ(log.count("[INF] db: connected via ODBC driver 'MariaDB Unicode' to 127.0.0.1:"), 2);

    test::SqlSession session;
    std::string error;
    ASSERT_TRUE(session.open(db.connection_string(), error)) << error;
    std::vector<test::SqlRow> rows;
    ASSERT_TRUE(session.query("SELECT COUNT(*) FROM events WHERE event_type = 'tick'", rows, error)) << error;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], std::optional<std::string>("2"));
}

}  // namespace
}  // namespace tarn
