// The run sequence: builds everything from the configuration file, serves
// until a stop is requested, and takes it down again.
#pragma once

#include <atomic>
#include <functional>
#include <string>

namespace tarn {

// Set (never cleared) by the console and service control handlers; only the
// runtime reads it. Lock-free, so a signal handler may store to it.
extern std::atomic<bool> stop_requested;

// The longest a stop may take once requested: the batch being written may
// wait out one statement's read time-out and one connect (db_io_timeout_s
// and db_login_timeout_s), and its reply and the teardown take a moment
// more. A service host reports it to its manager as the stop's wait.
constexpr unsigned stop_bound_ms = 45000;

// What the run tells the host that runs it, so that a service manager hears
// the truth. Either may be empty. Called on the run's thread, at most one
// of them, at most once.
struct RunHooks {
    // The listener is open at `listening` ("<bind_addr>:<bind_port>"): the
    // service serves from now on.
    std::function<void(const std::string& listening)> ready;
    // The run ends without serving; `reason` is one line for the manager's
    // status display ("Not starting: config: <reason>" or "Failed to start
    // HTTP listener").
    std::function<void(const std::string& reason)> failed;
};

// Runs the service from the configuration file tarn_ingest.conf in its
// folder below program_data_dir(), logging to service.log there by default.
// A missing file means the defaults; a faulty one (unreadable, or a line
// without '=') stops the start. Returns 0 after an orderly stop, 1 when the
// configuration is faulty or the HTTP listener failed to start.
// Call once per process, from the main thread (console) or the service worker.
int run_service(const RunHooks& hooks = {});

// run_service with explicit locations: the configuration file, and the log
// file used when the configuration names none or is faulty.
int run_service_with(const std::string& config_path, const std::string& default_log_path, const RunHooks& hooks = {});

}  // namespace tarn
