// Shared set-up for end-to-end tests of the real service executable on Linux.
#include "service_fixture.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "tarn/build_config.h"
#include "test_env.h"

namespace tarn::test {
namespace {

std::string read_value(const std::string& dir, const char* name) {
    std::string value;
    read_file(dir + "/" + name, value);
    return value;
}

std::string data_dir() {
    return std::string(TARN_PROGRAM_DATA_DIR) + "/TARN/IngestService";
}

}  // namespace

TestDatabase test_database() {
    const std::string dir = env_or("TARN_TEST_MARIADB_DIR", "");
    return TestDatabase{read_value(dir, "port"), read_value(dir, "user"), read_value(dir, "password"),
                        read_value(dir, "database")};
}

std::uint16_t free_port() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(s);
    return ntohs(address.sin_port);
}

std::string http_exchange(std::uint16_t port, const std::string& request) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return "";
    timeval timeout{30, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::size_t sent = 0;
        while (sent < request.size()) {
            const ssize_t n = ::send(s, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::recv(s, buffer, sizeof buffer, 0)) > 0) response.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(s);
    return response;
}

std::string ingest_request(const std::string& body, const std::string& token) {
    std::string request = "POST /api/ingest HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n";
    if (!token.empty()) request += "X-Tarn-Token: " + token + "\r\n";
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return request;
}

int status_of(const std::string& response) {
    if (response.size() < 12 || response.compare(0, 9, "HTTP/1.1 ") != 0) return 0;
    return std::stoi(response.substr(9, 3));
}

std::string body_of(const std::string& response) {
    const auto end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

std::string sql(const std::string& statement) {
    const TestDatabase db = test_database();
    std::string out, err;
    const std::string dir = make_temp_dir("sql");
    run_to_end("/usr/bin/mariadb",
               {"--no-defaults", "--protocol=tcp", "-h127.0.0.1", "-P" + db.port, "-u" + db.user,
                "-p" + db.password, "-N", "-B", db.name, "-e", statement},
               dir, out, err);
    return out;
}

void ServiceTest::SetUp() {
    work_dir_ = make_temp_dir("service");
    port_ = free_port();
    std::filesystem::create_directories(data_dir());
    std::filesystem::remove(config_path());
    std::filesystem::remove(log_path());
}

void ServiceTest::TearDown() {
    if (service_.running()) {
        service_.signal(SIGKILL);
        int status = 0;
        service_.wait(std::chrono::seconds(5), status);
    }
}

std::string ServiceTest::config_path() const {
    return data_dir() + "/tarn_ingest.conf";
}

std::string ServiceTest::log_path() const {
    return data_dir() + "/service.log";
}

void ServiceTest::write_config(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    ASSERT_TRUE(write_file(config_path(), text));
}

std::vector<std::string> ServiceTest::standard_config(const std::string& token) const {
    const TestDatabase db = test_database();
    return {"# written by the end-to-end tests",
            "bind_addr=127.0.0.1",
            "bind_port=" + std::to_string(port_),
            "odbc_driver=MariaDB Unicode",
            "mysql_host=127.0.0.1",
            "mysql_port=" + db.port,
            "mysql_user=" + db.user,
            "mysql_pass=" + db.password,
            "mysql_db=" + db.name,
            "ingest_token=" + token};
}

bool ServiceTest::start_service(const std::vector<std::string>& arguments,
                                const std::map<std::string, std::string>& env) {
    std::map<std::string, std::string> environment{{"NOTIFY_SOCKET", ""}};
    for (const auto& [name, value] : env) environment[name] = value;
    if (!service_.start(TARN_SERVICE_EXE, arguments, work_dir_, environment)) return false;
    return eventually(
        [this] {
            return !service_.running() || service_.stderr_text().find("http: listening on") != std::string::npos;
        },
        std::chrono::seconds(20)) &&
           service_.running();
}

std::string ServiceTest::log_text() const {
    std::string text;
    read_file(log_path(), text);
    return text;
}

}  // namespace tarn::test
