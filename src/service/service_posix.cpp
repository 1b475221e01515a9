// Service mode on Linux: run under systemd as a Type=notify service. The
// state changes of the Windows service protocol map onto notify messages:
// start-pending and stop-pending extend systemd's time-out by their wait hint,
// running (the listener open) is READY=1, and a start that fails says why in
// STATUS= and exits 1. SIGTERM (stop and shutdown alike) asks the run to stop;
// SIGHUP (`systemctl reload`, logrotate) opens the log file anew.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "log/log.h"
#include "service/entry.h"
#include "service/run_service.h"
#include "service/systemd_notify_posix.h"

namespace tarn {
namespace {

constexpr unsigned start_wait_hint_ms = 3000;
constexpr long worker_poll_ns = 250L * 1000L * 1000L;

std::string extend_timeout(unsigned wait_hint_ms) {
    return "EXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<unsigned long>(wait_hint_ms) * 1000UL);
}

}  // namespace

bool run_as_managed_service(int& exit_status) {
    const char* notify_address = std::getenv("NOTIFY_SOCKET");
    if (notify_address == nullptr || *notify_address == '\0') return false;
    const NotifySocket notify(notify_address);

    // Blocked before any thread exists, so every thread inherits the mask and
    // the signals reach only the sigtimedwait below.
    sigset_t control_signals;
    sigemptyset(&control_signals);
    sigaddset(&control_signals, SIGTERM);
    sigaddset(&control_signals, SIGINT);
    sigaddset(&control_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &control_signals, nullptr);

    notify.send("STATUS=Starting\n" + extend_timeout(start_wait_hint_ms));

    // Sent from the run's thread: READY=1 only once the listener is open, so
    // that `systemctl start` does not report a service that never serves.
    RunHooks hooks;
    hooks.ready = [&notify] { notify.send("READY=1\nSTATUS=Running"); };
    hooks.failed = [&notify](const std::string& reason) { notify.send("STATUS=" + reason); };
    std::atomic<bool> worker_done{false};
    int run_status = 0;
    std::thread worker([&] {
        run_status = run_service(hooks);
        worker_done.store(true);
    });

    while (!worker_done.load()) {
        const timespec poll{0, worker_poll_ns};
        const int signal_number = sigtimedwait(&control_signals, nullptr, &poll);
        if (signal_number == SIGTERM || signal_number == SIGINT) {
            // One extension covers the whole stop, which may wait out the
            // database's time-outs for the batch being written.
            notify.send("STOPPING=1\nSTATUS=Stopping\n" + extend_timeout(stop_bound_ms));
            stop_requested.store(true);
        } else if (signal_number == SIGHUP) {
            Log::reopen();
        }
    }
    worker.join();

    // A run that ended by itself failed, and its hook has said why: exit
    // non-zero, so that the service manager records a failure and applies its
    // restart policy.
    if (run_status == 0) notify.send("STATUS=Stopped");
    exit_status = run_status == 0 ? 0 : 1;
    return true;
}

}  // namespace tarn
