// Shared set-up for end-to-end tests of the real executable on Linux: child
// processes, the configuration file, the private MariaDB, HTTP over loopback.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "raw_client.h"
#include "tarn/build_config.h"

namespace tarn::test {

using Strings = std::vector<std::string>;

// The whole contents of a file; "" when it cannot be read.
std::string text_of(const std::string& path);
// Polls `predicate` every 50 ms until it holds or `timeout` passes.
bool eventually(const std::function<bool()>& predicate, std::chrono::seconds timeout = std::chrono::seconds(15));

// A child with default signal handling, stdin from /dev/null and its output
// in files. The destructor kills a child still running.
class ChildProcess {
public:
    ~ChildProcess();
    bool start(const std::string& program, const Strings& args);
    bool running();
    void signal(int signal_number) { if (running()) ::kill(pid_, signal_number); }
    // The exit status (128 + signal when killed), or -1 while still running after `timeout`.
    int wait(std::chrono::seconds timeout = std::chrono::seconds(15)) {
        return eventually([this] { return !running(); }, timeout) ? status_ : -1;
    }
    std::string out() const { return text_of(out_path_); }
    std::string err() const { return text_of(err_path_); }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string out_path_, err_path_;
};

// Runs `program` to its end (60 s at most): "<exit status> <stdout>|<stderr>".
std::string run_to_end(const std::string& program, const Strings& args);

// A fact of the private MariaDB: "port", "user", "password" or "database".
std::string db_fact(const std::string& name);
// The mariadb client arguments that run `statement` in the private MariaDB.
Strings mariadb_args(const std::string& statement);
// Its result rows, tab-separated.
std::string sql(const std::string& statement);
// A POST of `body` to /api/ingest, with the token header when non-empty.
std::string ingest_request(const std::string& body, const std::string& token = "");
// Log lines without their timestamps: "[INF] http: stopped".
Strings messages_of(const std::string& log);

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void write_config(const Strings& lines);
    // A working configuration: loopback, a free port, the private MariaDB.
    Strings standard_config(const std::string& token = "") const;
    // Starts the executable (NOTIFY_SOCKET set only when given); true once it listens.
    bool start_service(const Strings& args = {"--console"}, const std::string& notify_socket = "");
    // Sends `signal_number`; the exit status.
    int stop_service(int signal_number) {
        service_.signal(signal_number);
        return service_.wait();
    }
    RawResponse send(const std::string& request) const { return parse_raw_response(exchange(port_, request)); }

    const std::string data_dir_ = std::string(TARN_PROGRAM_DATA_DIR) + "/TARN/IngestService";
    const std::string config_path_ = data_dir_ + "/tarn_ingest.conf";
    const std::string log_path_ = data_dir_ + "/service.log";
    std::uint16_t port_ = 0;
    ChildProcess service_;
};

}  // namespace tarn::test
