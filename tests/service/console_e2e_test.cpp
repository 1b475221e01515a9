// The real executable in console mode against the private MariaDB.
#include <signal.h>

#include <filesystem>
#include <thread>

#include "service_fixture.h"

namespace tarn::test {
namespace {

using namespace std::chrono_literals;

const char* const batch_body =
    R"({"batch_window_end":"2024-05-01T12:00:00Z",)"
    R"("clients":[{"node_id":7,"chip":"esp32c3","fw_version":"1.4.2"}],)"
    R"("readings":[{"node_id":7,"meter_id":880001,"protocol":7,"volume_gal":12345,"gateway_received_at":"2024-05-01T11:58:00Z"},)"
    R"({"node_id":7,"meter_id":880002,"protocol":223,"volume_gal":10}],)"
    R"("events":[{"event_type":"boot","payload":{"reason":"power"}}]})";

TEST_F(ServiceTest, ConsoleRunWritesBatchesLogsAndStopsOnCtrlC) {
    write_config(standard_config("s3cret"));
    ASSERT_TRUE(start_service({"--console", "extra", "arguments"})) << service_.err();
    EXPECT_EQ(service_.out(), "TARN Ingest Service \xE2\x80\x94 console mode (Ctrl+C to stop)\n");

    EXPECT_EQ(send("GET /api/health HTTP/1.1\r\n\r\n").body, R"({"ok":true})");
    EXPECT_EQ(send(ingest_request("{}", "S3CRET")).status, 401);
    sql("DELETE FROM readings WHERE meter_id IN (880001, 880002)");
    EXPECT_EQ(send(ingest_request(batch_body, "s3cret")).body,
              R"({"ok":true,"clients_upserted":1,"readings_inserted":2,"events_inserted":1})");
    EXPECT_EQ(sql("SELECT meter_id, volume_gal, gateway_received_at FROM readings "
                  "WHERE meter_id IN (880001, 880002) ORDER BY meter_id"),
              "880001\t1234.5\t2024-05-01 11:58:00\n880002\t10\t2024-05-01 12:00:00\n");

    EXPECT_EQ(stop_service(SIGINT), 0);
    const std::string log = text_of(log_path_), port = std::to_string(port_);
    const auto messages = messages_of(log);
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages[0], "[INF] config: loaded " + config_path_);
    EXPECT_EQ(messages[1], "[INF] bind=127.0.0.1:" + port +
                               " odbc='MariaDB Unicode' mysql=127.0.0.1:" + mariadb_fact("port") +
                               " db=" + mariadb_fact("database") + " user=" + mariadb_fact("user"));
    EXPECT_EQ(messages[2], "[INF] http: listening on 127.0.0.1:" + port);
    EXPECT_EQ(messages.back(), "[INF] http: stopped");
    EXPECT_EQ(log.find(mariadb_fact("password")), std::string::npos) << "the password is never logged";
    EXPECT_EQ(log.find("s3cret"), std::string::npos) << "the token is never logged";
}

// Without any argument and outside a service manager, the program runs in
// console mode; SIGTERM and SIGHUP stop it like Ctrl+C.
TEST_F(ServiceTest, NoArgumentRunsConsoleModeAndSigtermAndSighupStopIt) {
    auto config = standard_config();
    config.push_back("mysql_port=" + std::to_string(free_port()));
    write_config(config);
    for (int signal_number : {SIGTERM, SIGHUP}) {
        ASSERT_TRUE(start_service({})) << service_.err();
        EXPECT_EQ(service_.out(), "TARN Ingest Service \xE2\x80\x94 console mode (Ctrl+C to stop)\n");
        EXPECT_EQ(send(ingest_request("{}")).body, R"({"error":"db connect failed"})");
        EXPECT_EQ(stop_service(signal_number), 0) << signal_number;
        EXPECT_NE(service_.err().find("[ERR] db: SQLDriverConnect failed: ["), std::string::npos);
    }
}

TEST_F(ServiceTest, MissingOrFaultyConfigurationRunsOnDefaults) {
    // clang-format off
    const std::pair<Strings, std::string> cases[] = {
        {{}, "cannot open " + config_path_},  // no file at all
        {{"bind_addr=127.0.0.1", "bind_port=" + std::to_string(port_), "no equals sign"}, "missing '=' at line 3"}
    };
    // clang-format on
    for (const auto& [config, error] : cases) {
        std::filesystem::remove(config_path_);
        if (!config.empty()) write_config(config);
        start_service();  // on the default port, which may be taken
        const auto messages = messages_of(service_.err());
        ASSERT_GE(messages.size(), 2u) << service_.err();
        EXPECT_EQ(messages[0], "[ERR] config: " + error + " \xE2\x80\x94 using defaults");
        EXPECT_EQ(messages[1],
                  "[INF] bind=0.0.0.0:41290 odbc='MySQL ODBC 8.0 Unicode Driver' "
                  "mysql=127.0.0.1:3306 db=tarn_water user=tarn_water");
        stop_service(SIGINT);
        EXPECT_FALSE(std::filesystem::exists(log_path_)) << "no log file without a configuration";
    }
}

TEST_F(ServiceTest, UnknownFlagsExitWith2) {
    for (const std::string flag : {"--INSTALL", "-install", "--install=1", ""}) {
        EXPECT_EQ(run_to_end(TARN_SERVICE_EXE, {flag, "--console"}), "2 |unknown flag: " + flag + "\n");
    }
}

// Stopping while a batch is inside the handler: the batch is written and
// answered before the database object goes away, and the run ends cleanly.
TEST_F(ServiceTest, StopWaitsForTheBatchBeingWritten) {
    write_config(standard_config());
    ASSERT_TRUE(start_service()) << service_.err();
    sql("DELETE FROM readings WHERE meter_id = 990001");
    ChildProcess locker;  // a second session holds the readings table for three seconds
    ASSERT_TRUE(locker.start("/usr/bin/mariadb",
                             {"--no-defaults", "--protocol=tcp", "-h127.0.0.1", "-P" + mariadb_fact("port"),
                              "-u" + mariadb_fact("user"), "-p" + mariadb_fact("password"), mariadb_fact("database"),
                              "-e", "LOCK TABLES readings WRITE; SELECT SLEEP(3); UNLOCK TABLES;"}));
    std::this_thread::sleep_for(500ms);
    RawResponse response;
    std::thread client([&] {
        response = send(ingest_request(
            R"({"readings":[{"node_id":9,"meter_id":990001,"volume_gal":1,"gateway_received_at":"2024-01-01"}]})"));
    });
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(stop_service(SIGINT), 0);
    client.join();
    EXPECT_EQ(response.status, 200) << response.body;
    EXPECT_EQ(sql("SELECT COUNT(*) FROM readings WHERE meter_id = 990001"), "1\n");
}

}  // namespace
}  // namespace tarn::test
