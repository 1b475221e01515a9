// The run sequence of the service: configuration, log, database, handler,
// listener; then wait for a stop request; then tear down in reverse order.
#include "service/run_service.h"

#include <chrono>
#include <string>
#include <thread>

#include "config/config.h"
#include "db/db.h"
#include "http/http_server.h"
#include "ingest/ingest_handler.h"
#include "log/log.h"
#include "metrics/http_metrics.h"
#include "service/program_data_dir.h"

namespace tarn {

std::atomic<bool> stop_requested{false};

namespace {

constexpr auto stop_poll_interval = std::chrono::milliseconds(250);

// The stop's bound is what it waits for at most: the database's two
// time-outs for the batch being written, the reply's lingering close, and 3 s
// for the rest of the teardown.
static_assert(stop_bound_ms == (db_io_timeout_s + db_login_timeout_s) * 1000 + http_linger_ms + 3000, "stop_bound_ms");

}  // namespace

int run_service(const RunHooks& hooks) {
    return run_service_with(service_data_file("tarn_ingest.conf"), service_data_file("service.log"), hooks);
}

int run_service_with(const std::string& config_path, const std::string& default_log_path, const RunHooks& hooks) {
    Config config;
    const ConfigLoad load = load_config(config_path, config);
    if (load.status == ConfigStatus::faulty) {
        // The defaults would listen on every interface with the token check
        // off: one typo must not open the service. In service mode nobody
        // reads standard error, so the reason goes to the default log too.
        Log::open(default_log_path);
        Log::write(LogLevel::Error, "config: %s \xE2\x80\x94 not starting", load.error.c_str());
        Log::close();
        if (hooks.failed) hooks.failed("Not starting: config: " + load.error);
        return 1;
    }
    if (load.status == ConfigStatus::missing) {
        // No file at all is a first trial: the defaults, and no log file.
        Log::open(std::string());
        Log::write(LogLevel::Error, "config: %s \xE2\x80\x94 using defaults", load.error.c_str());
    } else {
        Log::open(config.log_path.empty() ? default_log_path : config.log_path);
        Log::write(LogLevel::Info, "config: loaded %s", config_path.c_str());
        for (const std::string& warning : load.warnings) Log::write(LogLevel::Warn, "config: %s", warning.c_str());
    }
    Log::write(LogLevel::Info, "bind=%s:%u odbc='%s' mysql=%s:%u db=%s user=%s", config.bind_addr.c_str(),
               static_cast<unsigned>(config.bind_port), config.odbc_driver.c_str(), config.mysql_host.c_str(),
               static_cast<unsigned>(config.mysql_port), config.mysql_db.c_str(), config.mysql_user.c_str());
    if (config.ingest_token.empty()) {
        Log::write(LogLevel::Warn,
                   "config: ingest_token is empty: the token check is off, and anyone who can reach port %u may "
                   "post batches",
                   static_cast<unsigned>(config.bind_port));
    }

    Db db(db_settings(config));

    // The server owns the handler, and the handler refers to the Db; the
    // server's stop() waits for every connection thread, so neither is
    // destroyed under a request that is still being served.
    BatchTurns turns;
    HttpMetrics http_metrics(metrics());
    HttpServer server(config.bind_addr, config.bind_port, make_ingest_handler(db, config.ingest_token, turns),
                      make_ingest_head_check(db, config.ingest_token));
    server.set_observer(&http_metrics);
    if (!server.start()) {
        Log::write(LogLevel::Error, "service: failed to start HTTP listener");
        Log::close();
        if (hooks.failed) hooks.failed("Failed to start HTTP listener");
        return 1;
    }
    if (hooks.ready) hooks.ready(config.bind_addr + ":" + std::to_string(config.bind_port));
    while (!stop_requested.load()) std::this_thread::sleep_for(stop_poll_interval);
    // Batches still waiting for their turn are answered at once; the one
    // being written finishes or fails within the database's time-outs.
    turns.stop();
    server.stop();
    Log::close();
    return 0;
}

}  // namespace tarn
