// Shared set-up for end-to-end tests of the real executable on Linux: child
// processes, the configuration file, the private MariaDB, HTTP over loopback.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "raw_client.h"
#include "tarn/build_config.h"
#include "test_env.h"

namespace tarn::test {

using Strings = std::vector<std::string>;

// A child with default signal handling, stdin from /dev/null and its output
// in files. The destructor kills a child still running.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();
    bool start(const std::string& program, const Strings& args);
    bool running();
    void signal(int signal_number);
    // The exit status (128 + signal when killed), or -1 while still running after `timeout`.
    int wait(std::chrono::seconds timeout = std::chrono::seconds(15));
    std::string out() const { return text_of(out_path_); }
    std::string err() const { return text_of(err_path_); }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string out_path_, err_path_;
};

// Runs `program` to its end (60 s at most): "<exit status> <stdout>|<stderr>".
std::string run_to_end(const std::string& program, const Strings& args);

// The rows of `statement` in the private MariaDB, tab-separated, one per line.
std::string sql(const std::string& statement);
// A POST of `body` to /api/ingest, with the token header when non-empty.
std::string ingest_request(const std::string& body, const std::string& token = "");
// A batch of one event of type `name`, so that its rows can be counted.
std::string event_batch(const std::string& name, const std::string& payload = "1");
// How many events of type `name` the private MariaDB holds, with a line feed.
std::string stored(const std::string& name);
// "[TAG] message" of each log line, without its timestamp.
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
        return service_.wait(std::chrono::seconds(60));
    }
    RawResponse send(const std::string& request) const { return parse_raw_response(exchange(port_, request)); }

    const std::string data_dir_ = std::string(TARN_PROGRAM_DATA_DIR) + "/TARN/IngestService";
    const std::string config_path_ = data_dir_ + "/tarn_ingest.conf";
    const std::string log_path_ = data_dir_ + "/service.log";
    std::uint16_t port_ = 0;
    ChildProcess service_;
};

}  // namespace tarn::test
