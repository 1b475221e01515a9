// Shared set-up for end-to-end tests of the real service executable on Linux:
// its configuration file, the private MariaDB, raw HTTP over loopback.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "child_process.h"

namespace tarn::test {

// Connection facts of the private MariaDB that the test fixture started.
struct TestDatabase {
    std::string port;
    std::string user;
    std::string password;
    std::string name;
};
TestDatabase test_database();

// A loopback TCP port that nothing listens on at the moment of the call.
std::uint16_t free_port();

// Sends `request` to 127.0.0.1:`port`, then reads until the server closes.
// Returns the whole response, or "" when nothing could be exchanged.
std::string http_exchange(std::uint16_t port, const std::string& request);

// A POST of `body` to /api/ingest, with the token header when non-empty.
std::string ingest_request(const std::string& body, const std::string& token);

// The status code of a raw response ("HTTP/1.1 200 OK..." gives 200).
int status_of(const std::string& response);
// Everything after the blank line of a raw response.
std::string body_of(const std::string& response);

// Runs one SQL statement through the mariadb client and returns its output
// (tab-separated, no column names).
std::string sql(const std::string& statement);

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the service's configuration file with these lines.
    void write_config(const std::vector<std::string>& lines);
    // The lines of a working configuration: loopback port, test database.
    std::vector<std::string> standard_config(const std::string& token = "") const;
    // Starts the executable with `arguments` and waits until it listens (or
    // ends). Returns true when it listens.
    bool start_service(const std::vector<std::string>& arguments = {"--console"},
                       const std::map<std::string, std::string>& env = {});
    std::string log_text() const;
    std::string config_path() const;
    std::string log_path() const;

    std::string work_dir_;
    std::uint16_t port_ = 0;
    ChildProcess service_;
};

}  // namespace tarn::test
