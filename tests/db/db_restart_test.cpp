// A Db across a stop and a restart of its server: a MariaDB of the test's own,
// started and stopped with scripts/mariadb, so that other tests keep theirs.
#include <gtest/gtest.h>

#include <cstdlib>

#include "db_test_support.h"

namespace tarn {
namespace {

// A private server with its data in `dir`, stopped again when the object goes.
struct OwnServer {
    int run(const std::string& action) const {
        return std::system((test::env_or("TARN_TEST_SOURCE_DIR", ".") + "/scripts/mariadb " + action + " '" + dir +
                            "' >>'" + dir + "/script.log' 2>&1").c_str());
    }
    ~OwnServer() { run("stop"); }

    const std::string dir = test::make_temp_dir("mariadb");
};

TEST(DbServerRestart, StoppedServerFailsTheBatchAndTheRestartedServerTakesTheNext) {
    OwnServer server;
    ASSERT_EQ(server.run("start"), 0) << server.dir << "/script.log";
    DbSettings settings;
    ASSERT_TRUE(test::read_mariadb_settings(server.dir, settings));
    test::LogCapture log;
    Db db(settings);
    const std::string batch = R"({"events":[{"event_type":"tick","gateway_received_at":"2024-05-01T00:00:00Z"}]})";
    EXPECT_EQ(test::ingest(db, batch), "0/0/1");
    ASSERT_EQ(server.run("stop"), 0);
    EXPECT_EQ(test::ingest(db, batch), "db connect failed");
    EXPECT_EQ(log.count("[ERR] db: SQLDriverConnect failed: ["), 1);
    ASSERT_EQ(server.run("start"), 0);
    EXPECT_EQ(test::ingest(db, batch), "0/0/1");
    EXPECT_EQ(log.count("[INF] db: connected via ODBC driver 'MariaDB Unicode' to 127.0.0.1:"), 2);
}

}  // namespace
}  // namespace tarn
