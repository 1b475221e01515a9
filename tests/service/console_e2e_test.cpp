// The real executable in console mode against the private MariaDB.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

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

int readings_of(const char* meters) {
    return std::stoi(sql(std::string("SELECT COUNT(*) FROM readings WHERE meter_id IN (") + meters + ")"));
}

TEST_F(ServiceTest, ConsoleRunWritesBatchesLogsAndStopsOnCtrlC) {
    write_config(standard_config("s3cret"));
    ASSERT_TRUE(start_service({"--console", "extra", "arguments"})) << service_.stderr_text();
    EXPECT_EQ(service_.stdout_text(), "TARN Ingest Service \xE2\x80\x94 console mode (Ctrl+C to stop)\n");

    EXPECT_EQ(send("GET /api/health HTTP/1.1\r\n\r\n").body, R"({"ok":true})");
    EXPECT_EQ(send(ingest_request("{}", "S3CRET")).status, 401);
    EXPECT_EQ(send(ingest_request("{} x", "s3cret")).body, R"({"error":"bad json","detail":"trailing garbage"})");
    // A value the database itself refuses is content, not an outage.
    const RawResponse refused = send(ingest_request(
        R"({"readings":[{"node_id":3,"meter_id":1,"volume_gal":5,"gateway_received_at":"garbage"}]})", "s3cret"));
    EXPECT_EQ(refused.status, 422);
    EXPECT_EQ(refused.body.rfind(R"({"error":"insert readings: [22007] )", 0), 0u) << refused.body;

    const int before = readings_of("880001, 880002");
    const RawResponse stored = send(ingest_request(batch_body, "s3cret"));
    EXPECT_EQ(stored.body, R"({"ok":true,"clients_upserted":1,"readings_inserted":2,"events_inserted":1})");
    EXPECT_EQ(readings_of("880001, 880002"), before + 2);
    EXPECT_EQ(sql("SELECT volume_gal, gateway_received_at FROM readings WHERE meter_id = 880001 ORDER BY id DESC "
                  "LIMIT 1"),
              "1234.5\t2024-05-01 11:58:00\n");

    EXPECT_EQ(stop_service(SIGINT), 0);
    const auto lines = lines_of(log_text());
    const TestDatabase db = test_database();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(message_of(lines[0]), "INF config: loaded " + config_path());
    EXPECT_EQ(message_of(lines[1]), "INF bind=127.0.0.1:" + std::to_string(port_) +
                                        " odbc='MariaDB Unicode' mysql=127.0.0.1:" + db.port + " db=" + db.name +
                                        " user=" + db.user);
    EXPECT_EQ(message_of(lines[2]), "INF http: listening on 127.0.0.1:" + std::to_string(port_));
    EXPECT_EQ(message_of(lines.back()), "INF http: stopped");
    const std::string log = log_text();
    EXPECT_NE(log.find("[WRN] ingest: rejected (bad/missing token)"), std::string::npos);
    EXPECT_NE(log.find("[WRN] ingest: bad json: trailing garbage"), std::string::npos);
    EXPECT_EQ(log.find(db.password), std::string::npos) << "the password is never logged";
    EXPECT_EQ(log.find("s3cret"), std::string::npos) << "the token is never logged";
}

TEST_F(ServiceTest, SigtermAndSighupStopLikeCtrlCAndUnreachableDatabaseIs503) {
    auto config = standard_config();
    config.push_back("mysql_port=" + std::to_string(free_port()));
    for (int signal_number : {SIGTERM, SIGHUP}) {
        write_config(config);
        ASSERT_TRUE(start_service()) << service_.stderr_text();
        EXPECT_EQ(send(ingest_request("{}")).body, R"({"error":"db connect failed"})");
        EXPECT_EQ(stop_service(signal_number), 0) << signal_number;
        EXPECT_NE(service_.stderr_text().find("[ERR] db: SQLDriverConnect failed: ["), std::string::npos);
    }
}

TEST_F(ServiceTest, MissingOrFaultyConfigurationRunsOnDefaults) {
    const std::string defaults = "INF bind=0.0.0.0:41290 odbc='MySQL ODBC 8.0 Unicode Driver' "
                                 "mysql=127.0.0.1:3306 db=tarn_water user=tarn_water";
    struct Case {
        std::vector<std::string> config;  // empty: no file at all
        std::string first_line;
    } cases[] = {
        {{}, "ERR config: cannot open " + config_path() + " \xE2\x80\x94 using defaults"},
        {{"bind_addr=127.0.0.1", "bind_port=" + std::to_string(port_), "no equals sign"},
         "ERR config: missing '=' at line 3 \xE2\x80\x94 using defaults"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(config_path());
        if (!c.config.empty()) write_config(c.config);
        service_.start(TARN_SERVICE_EXE, {"--console"}, work_dir_, {{"NOTIFY_SOCKET", ""}});
        ASSERT_TRUE(eventually([this] { return lines_of(service_.stderr_text()).size() >= 2; }, 10s));
        const auto lines = lines_of(service_.stderr_text());
        EXPECT_EQ(message_of(lines[0]), c.first_line);
        EXPECT_EQ(message_of(lines[1]), defaults);
        stop_service(SIGINT);
        EXPECT_FALSE(std::filesystem::exists(log_path())) << "no log file without a configuration";
    }
}

TEST_F(ServiceTest, PortAlreadyTakenEndsTheRunWithStatus1) {
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);

    write_config(standard_config());
    EXPECT_FALSE(start_service());
    int status = -1;
    ASSERT_TRUE(service_.wait(10s, status));
    EXPECT_EQ(status, 1);
    const auto lines = lines_of(log_text());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(message_of(lines[lines.size() - 2]), "ERR http: bind 127.0.0.1:" + std::to_string(port_) + " failed: 98");
    EXPECT_EQ(message_of(lines.back()), "ERR service: failed to start HTTP listener");
    ::close(holder);
}

TEST_F(ServiceTest, UnknownFlagsExitWith2) {
    for (const std::string flag : {"--INSTALL", "-install", "--install=1", ""}) {
        std::string out, err;
        EXPECT_EQ(run_to_end(TARN_SERVICE_EXE, {flag, "--console"}, work_dir_, out, err), 2) << flag;
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, "unknown flag: " + flag + "\n");
    }
}

// Stopping while a batch is inside the handler: the batch is written and
// answered before the database object goes away, and the run ends cleanly.
TEST_F(ServiceTest, StopWaitsForTheBatchBeingWritten) {
    write_config(standard_config());
    ASSERT_TRUE(start_service()) << service_.stderr_text();
    const int before = readings_of("990001");

    // A second session holds the readings table for three seconds.
    ChildProcess locker;
    const TestDatabase db = test_database();
    ASSERT_TRUE(locker.start("/usr/bin/mariadb",
                             {"--no-defaults", "--protocol=tcp", "-h127.0.0.1", "-P" + db.port, "-u" + db.user,
                              "-p" + db.password, db.name, "-e",
                              "LOCK TABLES readings WRITE; SELECT SLEEP(3); UNLOCK TABLES;"},
                             work_dir_));
    std::this_thread::sleep_for(500ms);
    RawResponse response;
    std::thread client([&] {
        response = send(ingest_request(
            R"({"readings":[{"node_id":9,"meter_id":990001,"volume_gal":1,"gateway_received_at":"2024-01-01"}]})"));
    });
    std::this_thread::sleep_for(700ms);
    const int status = stop_service(SIGINT);
    client.join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(response.status, 200) << response.body;
    EXPECT_EQ(readings_of("990001"), before + 1);
}

}  // namespace
}  // namespace tarn::test
