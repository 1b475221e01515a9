// The real executable in console mode against the private MariaDB.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "service_fixture.h"

namespace tarn::test {
namespace {

using namespace std::chrono_literals;

const char* const batch_body =
    R"({"batch_window_end":"2024-05-01T12:00:00Z",)"
    R"("clients":[{"node_id":7,"chip":"esp32c3","fw_version":"1.4.2","last_seen":"2024-05-01T11:59:00Z"}],)"
    R"("readings":[{"node_id":7,"meter_id":880001,"protocol":7,"volume_gal":12345,"gateway_received_at":"2024-05-01T11:58:00Z"},)"
    R"({"node_id":7,"meter_id":880002,"protocol":223,"volume_gal":10}],)"
    R"("events":[{"event_type":"boot","payload":{"reason":"power"}}]})";

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The message part of a log line ("2024-05-01 12:00:00.000 [INF] message").
std::string message_of(const std::string& line) {
    static const std::regex format(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[(INF|WRN|ERR)\] (.*)$)");
    std::smatch match;
    return std::regex_match(line, match, format) ? match[1].str() + " " + match[2].str() : "unparsed: " + line;
}

int stop_and_wait(ChildProcess& service, int signal_number) {
    service.signal(signal_number);
    int status = -1;
    EXPECT_TRUE(service.wait(10s, status));
    return status;
}

TEST_F(ServiceTest, ConsoleRunServesEveryRouteAndStopsOnCtrlC) {
    write_config(standard_config("s3cret"));
    ASSERT_TRUE(start_service()) << service_.stderr_text();
    EXPECT_EQ(service_.stdout_text(), "TARN Ingest Service \xE2\x80\x94 console mode (Ctrl+C to stop)\n");

    struct Case {
        std::string request;
        int status;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"GET /api/health HTTP/1.1\r\n\r\n", 200, R"({"ok":true})"},
        {"DELETE /api/health HTTP/1.1\r\n\r\n", 200, R"({"ok":true})"},
        {"GET /api/health/ HTTP/1.1\r\n\r\n", 404, R"({"error":"not found"})"},
        {"GET /api/ingest HTTP/1.1\r\n\r\n", 405, R"({"error":"use POST"})"},
        {ingest_request("{}", ""), 401, R"({"error":"unauthorized"})"},
        {ingest_request("{}", "S3CRET"), 401, R"({"error":"unauthorized"})"},
        {ingest_request("{} x", "s3cret"), 422, R"({"error":"bad json","detail":"trailing garbage"})"},
        {ingest_request("{}", "s3cret"), 200,
         R"({"ok":true,"clients_upserted":0,"readings_inserted":0,"events_inserted":0})"},
        {ingest_request(R"({"readings":[{"node_id":0}]})", "s3cret"), 422,
         R"({"error":"reading node_id out of range"})"},
    };
    for (const auto& c : cases) {
        const std::string response = http_exchange(port_, c.request);
        EXPECT_EQ(status_of(response), c.status) << c.request;
        EXPECT_EQ(body_of(response), c.body) << c.request;
    }

    const std::string before = sql("SELECT COUNT(*) FROM readings WHERE meter_id IN (880001, 880002)");
    const std::string response = http_exchange(port_, ingest_request(batch_body, "s3cret"));
    EXPECT_EQ(status_of(response), 200);
    EXPECT_EQ(body_of(response), R"({"ok":true,"clients_upserted":1,"readings_inserted":2,"events_inserted":1})");
    EXPECT_EQ(std::stoi(sql("SELECT COUNT(*) FROM readings WHERE meter_id IN (880001, 880002)")),
              std::stoi(before) + 2);
    EXPECT_EQ(sql("SELECT volume_gal, gateway_received_at FROM readings WHERE meter_id = 880001 "
                  "ORDER BY id DESC LIMIT 1"),
              "1234.5\t2024-05-01 11:58:00\n");

    EXPECT_EQ(stop_and_wait(service_, SIGINT), 0);

    const auto lines = lines_of(log_text());
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(message_of(lines[0]), "INF config: loaded " + config_path());
    EXPECT_EQ(message_of(lines[1]), "INF bind=127.0.0.1:" + std::to_string(port_) +
                                        " odbc='MariaDB Unicode' mysql=127.0.0.1:" + test_database().port +
                                        " db=" + test_database().name + " user=" + test_database().user);
    EXPECT_EQ(message_of(lines[2]), "INF http: listening on 127.0.0.1:" + std::to_string(port_));
    EXPECT_EQ(message_of(lines.back()), "INF http: stopped");
    const std::string log = log_text();
    EXPECT_NE(log.find("[WRN] ingest: rejected (bad/missing token)"), std::string::npos);
    EXPECT_NE(log.find("[WRN] ingest: bad json: trailing garbage"), std::string::npos);
    EXPECT_EQ(log.find(test_database().password), std::string::npos) << "the password must never be logged";
    EXPECT_EQ(log.find("s3cret"), std::string::npos) << "the token must never be logged";
}

TEST_F(ServiceTest, SigtermAndSighupStopTheConsoleRunLikeCtrlC) {
    for (int signal_number : {SIGTERM, SIGHUP}) {
        write_config(standard_config());
        ASSERT_TRUE(start_service()) << service_.stderr_text();
        EXPECT_EQ(stop_and_wait(service_, signal_number), 0) << signal_number;
        EXPECT_NE(service_.stderr_text().find("http: stopped"), std::string::npos);
    }
}

// A value the database refuses (SQLSTATE class 22) can never succeed on a
// retry, so it is answered 422, not the 503 that asks the gateway to resend.
TEST_F(ServiceTest, InvalidDatetimeIsAnswered422NotRetryable503) {
    write_config(standard_config());
    ASSERT_TRUE(start_service()) << service_.stderr_text();
    const std::string response = http_exchange(
        port_, ingest_request(R"({"readings":[{"node_id":3,"meter_id":1,"volume_gal":5,)"
                              R"("gateway_received_at":"garbage"}]})",
                              ""));
    EXPECT_EQ(status_of(response), 422) << response;
    EXPECT_EQ(body_of(response).rfind(R"({"error":"insert readings: [22007])", 0), 0u) << response;
    EXPECT_EQ(stop_and_wait(service_, SIGINT), 0);
}

TEST_F(ServiceTest, UnreachableDatabaseIsAnswered503) {
    auto config = standard_config();
    config.push_back("mysql_port=" + std::to_string(free_port()));
    write_config(config);
    ASSERT_TRUE(start_service()) << service_.stderr_text();
    const std::string response = http_exchange(port_, ingest_request("{}", ""));
    EXPECT_EQ(status_of(response), 503);
    EXPECT_EQ(body_of(response), R"({"error":"db connect failed"})");
    EXPECT_NE(log_text().find("[ERR] db: SQLDriverConnect failed: ["), std::string::npos);
    EXPECT_EQ(stop_and_wait(service_, SIGINT), 0);
}

TEST_F(ServiceTest, MissingConfigurationRunsOnDefaultsWithoutLogFile) {
    // No configuration file: the defaults, port 41290 on every interface.
    service_.start(TARN_SERVICE_EXE, {"--console"}, work_dir_, {{"NOTIFY_SOCKET", ""}});
    ASSERT_TRUE(eventually([this] { return lines_of(service_.stderr_text()).size() >= 2; }, 10s));
    const auto lines = lines_of(service_.stderr_text());
    EXPECT_EQ(message_of(lines[0]),
              "ERR config: cannot open " + config_path() + " \xE2\x80\x94 using defaults");
    EXPECT_EQ(message_of(lines[1]),
              "INF bind=0.0.0.0:41290 odbc='MySQL ODBC 8.0 Unicode Driver' mysql=127.0.0.1:3306 "
              "db=tarn_water user=tarn_water");
    service_.signal(SIGINT);
    int status = -1;
    ASSERT_TRUE(service_.wait(10s, status));
    EXPECT_FALSE(std::filesystem::exists(log_path()));
}

TEST_F(ServiceTest, FaultyLineDiscardsEarlierAssignments) {
    write_config({"bind_addr=127.0.0.1", "bind_port=" + std::to_string(port_), "this line has no equals sign"});
    service_.start(TARN_SERVICE_EXE, {"--console"}, work_dir_, {{"NOTIFY_SOCKET", ""}});
    ASSERT_TRUE(eventually([this] { return lines_of(service_.stderr_text()).size() >= 2; }, 10s));
    const auto lines = lines_of(service_.stderr_text());
    EXPECT_EQ(message_of(lines[0]), "ERR config: missing '=' at line 3 \xE2\x80\x94 using defaults");
    EXPECT_EQ(message_of(lines[1]).rfind("INF bind=0.0.0.0:41290 ", 0), 0u) << lines[1];
    service_.signal(SIGINT);
    int status = -1;
    ASSERT_TRUE(service_.wait(10s, status));
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
    EXPECT_EQ(message_of(lines[lines.size() - 2]).rfind("ERR http: bind 127.0.0.1:" + std::to_string(port_) +
                                                         " failed: ", 0),
              0u);
    EXPECT_EQ(message_of(lines.back()), "ERR service: failed to start HTTP listener");
    ::close(holder);
}

TEST_F(ServiceTest, UnknownFlagsExitWith2) {
    for (const std::string flag : {"--INSTALL", "-install", "--install=1", "--consol", ""}) {
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

    const int before = std::stoi(sql("SELECT COUNT(*) FROM readings WHERE meter_id = 990001"));
    // A second session holds the readings table for three seconds.
    ChildProcess locker;
    const TestDatabase db = test_database();
    ASSERT_TRUE(locker.start("/usr/bin/mariadb",
                             {"--no-defaults", "--protocol=tcp", "-h127.0.0.1", "-P" + db.port, "-u" + db.user,
                              "-p" + db.password, db.name, "-e",
                              "LOCK TABLES readings WRITE; SELECT SLEEP(3); UNLOCK TABLES;"},
                             work_dir_));
    std::this_thread::sleep_for(500ms);

    std::string response;
    std::thread client([&] {
        response = http_exchange(port_, ingest_request(R"({"readings":[{"node_id":9,"meter_id":990001,)"
                                                       R"("volume_gal":1,"gateway_received_at":"2024-01-01"}]})",
                                                       ""));
    });
    std::this_thread::sleep_for(700ms);
    service_.signal(SIGINT);
    client.join();
    int status = -1;
    ASSERT_TRUE(service_.wait(15s, status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(status_of(response), 200) << response;
    EXPECT_EQ(std::stoi(sql("SELECT COUNT(*) FROM readings WHERE meter_id = 990001")), before + 1);
    int locker_status = -1;
    locker.wait(10s, locker_status);
}

}  // namespace
}  // namespace tarn::test
