// Shared set-up for end-to-end tests of the real executable on Linux.
#include "service_fixture.h"

#include <signal.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "tarn/build_config.h"
#include "test_env.h"

namespace tarn::test {
namespace {

using namespace std::chrono_literals;

std::string data_dir() {
    return std::string(TARN_PROGRAM_DATA_DIR) + "/TARN/IngestService";
}

}  // namespace

TestDatabase test_database() {
    const std::string dir = env_or("TARN_TEST_MARIADB_DIR", "") + "/";
    TestDatabase db;
    read_file(dir + "port", db.port);
    read_file(dir + "user", db.user);
    read_file(dir + "password", db.password);
    read_file(dir + "database", db.name);
    return db;
}

std::string sql(const std::string& statement) {
    const TestDatabase db = test_database();
    std::string out, err;
    run_to_end("/usr/bin/mariadb",
               {"--no-defaults", "--protocol=tcp", "-h127.0.0.1", "-P" + db.port, "-u" + db.user,
                "-p" + db.password, "-N", "-B", db.name, "-e", statement},
               make_temp_dir("sql"), out, err);
    return out;
}

std::string ingest_request(const std::string& body, const std::string& token) {
    std::string request = "POST /api/ingest HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!token.empty()) request += "X-Tarn-Token: " + token + "\r\n";
    return request + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string message_of(const std::string& line) {
    static const std::regex format(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[(INF|WRN|ERR)\] (.*)$)");
    std::smatch match;
    return std::regex_match(line, match, format) ? match[1].str() + " " + match[2].str() : "unparsed: " + line;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void ServiceTest::SetUp() {
    work_dir_ = make_temp_dir("service");
    port_ = free_port();
    std::filesystem::create_directories(data_dir());
    std::filesystem::remove(config_path());
    std::filesystem::remove(log_path());
}

std::string ServiceTest::config_path() const { return data_dir() + "/tarn_ingest.conf"; }
std::string ServiceTest::log_path() const { return data_dir() + "/service.log"; }

void ServiceTest::write_config(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    ASSERT_TRUE(write_file(config_path(), text));
}

std::vector<std::string> ServiceTest::standard_config(const std::string& token) const {
    const TestDatabase db = test_database();
    return {"bind_addr=127.0.0.1",       "bind_port=" + std::to_string(port_), "odbc_driver=MariaDB Unicode",
            "mysql_port=" + db.port,     "mysql_user=" + db.user,             "mysql_pass=" + db.password,
            "mysql_db=" + db.name,       "ingest_token=" + token};
}

bool ServiceTest::start_service(const std::vector<std::string>& arguments,
                                const std::map<std::string, std::string>& env) {
    std::map<std::string, std::string> environment{{"NOTIFY_SOCKET", ""}};
    for (const auto& [name, value] : env) environment[name] = value;
    if (!service_.start(TARN_SERVICE_EXE, arguments, work_dir_, environment)) return false;
    eventually([this] { return !service_.running() || service_.stderr_text().find("http: listening on") != std::string::npos; },
               20s);
    return service_.running();
}

int ServiceTest::stop_service(int signal_number) {
    service_.signal(signal_number);
    int status = -1;
    EXPECT_TRUE(service_.wait(15s, status));
    return status;
}

std::string ServiceTest::log_text() const {
    std::string text;
    read_file(log_path(), text);
    return text;
}

}  // namespace tarn::test
