// Shared set-up for end-to-end tests of the real executable on Linux: its
// configuration file, the private MariaDB, raw HTTP over loopback.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "child_process.h"
#include "raw_client.h"

namespace tarn::test {

// Connection facts of the private MariaDB that the test fixture started.
struct TestDatabase {
    std::string port, user, password, name;
};
TestDatabase test_database();

// One SQL statement through the mariadb client; tab-separated rows.
std::string sql(const std::string& statement);

// A POST of `body` to /api/ingest, with the token header when non-empty.
std::string ingest_request(const std::string& body, const std::string& token = "");

// The message of a log line, with its tag: "INF http: stopped".
std::string message_of(const std::string& line);
std::vector<std::string> lines_of(const std::string& text);

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override;

    void write_config(const std::vector<std::string>& lines);
    // A working configuration: loopback, a free port, the test database.
    std::vector<std::string> standard_config(const std::string& token = "") const;
    // Starts the executable; true once it listens.
    bool start_service(const std::vector<std::string>& arguments = {"--console"},
                       const std::map<std::string, std::string>& env = {});
    // Sends `signal_number` and returns the exit status.
    int stop_service(int signal_number);
    RawResponse send(const std::string& request) const { return parse_raw_response(exchange(port_, request)); }

    std::string log_text() const;
    std::string config_path() const;
    std::string log_path() const;

    std::string work_dir_;
    std::uint16_t port_ = 0;
    ChildProcess service_;
};

}  // namespace tarn::test
