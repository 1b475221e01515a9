// The run sequence of the service: configuration, log, database, handler,
// listener; then wait for a stop request; then tear down in reverse order.
#include "service/run_service.h"

#include <chrono>
#include <thread>

#include "config/config.h"
#include "db/db.h"
#include "http/http_server.h"
#include "ingest/ingest_handler.h"
#include "log/log.h"
#include "service/program_data_dir.h"

namespace tarn {

std::atomic<bool> stop_requested{false};

namespace {
constexpr auto stop_poll_interval = std::chrono::milliseconds(250);
}

int run_service() {
    const std::string data_dir = program_data_dir();
    return run_service_with(data_dir + config_file_suffix, data_dir + log_file_suffix);
}

int run_service_with(const std::string& config_path, const std::string& default_log_path) {
    Config config;
    std::string error;
    if (load_config(config_path, config, error)) {
        Log::open(config.log_path.empty() ? default_log_path : config.log_path);
        Log::write(LogLevel::Info, "config: loaded %s", config_path.c_str());
    } else {
        // Values read before the faulty line are not half-applied.
        config = Config{};
        Log::open(std::string());
        Log::write(LogLevel::Error, "config: %s \xE2\x80\x94 using defaults", error.c_str());
    }
    Log::write(LogLevel::Info, "bind=%s:%u odbc='%s' mysql=%s:%u db=%s user=%s", config.bind_addr.c_str(),
               static_cast<unsigned>(config.bind_port), config.odbc_driver.c_str(), config.mysql_host.c_str(),
               static_cast<unsigned>(config.mysql_port), config.mysql_db.c_str(), config.mysql_user.c_str());

    DbSettings settings;
    settings.odbc_driver = config.odbc_driver;
    settings.mysql_host = config.mysql_host;
    settings.mysql_port = config.mysql_port;
    settings.mysql_user = config.mysql_user;
    settings.mysql_pass = config.mysql_pass;
    settings.mysql_db = config.mysql_db;
    Db db(settings);

    // The server owns the handler, and the handler refers to the Db; the
    // server's stop() waits for every connection thread, so neither is
    // destroyed under a request that is still being served.
    HttpServer server(config.bind_addr, config.bind_port, make_ingest_handler(db, config.ingest_token));
    if (!server.start()) {
        Log::write(LogLevel::Error, "service: failed to start HTTP listener");
        Log::close();
        return 1;
    }
    while (!stop_requested.load()) std::this_thread::sleep_for(stop_poll_interval);
    server.stop();
    Log::close();
    return 0;
}

}  // namespace tarn
