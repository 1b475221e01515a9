// The run sequence: builds everything from the configuration file, serves
// until a stop is requested, and takes it down again.
#pragma once

#include <atomic>
#include <string>

namespace tarn {

// Set (never cleared) by the console and service control handlers; only the
// runtime reads it. Lock-free, so a signal handler may store to it.
extern std::atomic<bool> stop_requested;

// Runs the service from the configuration file tarn_ingest.conf in its
// folder below program_data_dir(), logging to service.log there by default.
// A missing file means the defaults; a faulty one (unreadable, or a line
// without '=') stops the start. Returns 0 after an orderly stop, 1 when the
// configuration is faulty or the HTTP listener failed to start.
// Call once per process, from the main thread (console) or the service worker.
int run_service();

// run_service with explicit locations: the configuration file, and the log
// file used when the configuration names none or is faulty.
int run_service_with(const std::string& config_path, const std::string& default_log_path);

}  // namespace tarn
