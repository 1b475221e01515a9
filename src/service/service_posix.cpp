// Service mode on Linux: run under systemd as a Type=notify service. The
// state changes of the Windows service protocol map onto notify messages:
// start-pending and stop-pending extend systemd's time-out by their wait hint,
// running (the listener open) is READY=1, and a start that fails says why in
// STATUS= and exits 1. While it runs, STATUS= says what it does, for
// `systemctl status`. SIGTERM (stop and shutdown alike) asks the run to stop;
// SIGHUP (`systemctl reload`, logrotate) opens the log file anew.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "log/log.h"
#include "metrics/metrics.h"
#include "service/entry.h"
#include "service/run_service.h"
#include "service/systemd_notify_posix.h"

namespace tarn {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned start_wait_hint_ms = 3000;
// A running status that changed goes out at most this often: a busy
// service stores batches many times a second, and systemd needs no datagram
// for each. The signal loop wakes this often to look.
constexpr std::chrono::seconds status_interval{5};
// Sent by the run's thread to the signal loop when the run has ended.
constexpr int run_ended_signal = SIGUSR1;

std::string extend_timeout(unsigned wait_hint_ms) {
    return "EXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<unsigned long>(wait_hint_ms) * 1000UL);
}

// The database's state as the db_up gauge has it. The gauge starts at 0,
// before anything has reached the database: "unknown" while it is 0 and no
// batch has been stored or has failed for want of the database. (A
// readiness probe that found it down counts nowhere else: "unknown" then
// too, until a batch tries.)
const char* database_state(const Metrics& m) {
    if (m.db_up.value() != 0) return "up";
    const bool contacted = m.batches(BatchEnd::stored) != 0 || m.batches(BatchEnd::db_unavailable) != 0;
    return contacted ? "down" : "unknown";
}

// The STATUS= message of a service listening at `listening`.
std::string running_status(const std::string& listening) {
    const Metrics& m = metrics();
    return "STATUS=listening on " + listening + "; batches stored: " + std::to_string(m.batches(BatchEnd::stored)) +
           "; database: " + database_state(m);
}

// The running status, from READY=1 until the stop begins. ready() is called
// on the run's thread, the others on the signal loop's; one mutex for all.
class RunningStatus {
public:
    explicit RunningStatus(const NotifySocket& notify) : notify_(notify) {}

    // The listener is open at `listening`: READY=1 with the first status,
    // or alone when the stop has begun already.
    void ready(const std::string& listening) {
        std::lock_guard<std::mutex> lock(mutex_);
        listening_ = listening;
        sent_ = running_status(listening_);
        sent_at_ = Clock::now();
        notify_.send(stopping_ ? "READY=1" : "READY=1\n" + sent_);
    }

    // Sends the status again when it says something new and the last one
    // went out status_interval ago or more; nothing before ready() or
    // once the stop has begun.
    void update() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (listening_.empty() || stopping_) return;
        const Clock::time_point now = Clock::now();
        if (now - sent_at_ < status_interval) return;
        std::string status = running_status(listening_);
        if (status == sent_) return;
        notify_.send(status);
        sent_ = std::move(status);
        sent_at_ = now;
    }

    // The stop has begun; its own status follows.
    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }

private:
    const NotifySocket& notify_;
    std::mutex mutex_;
    std::string listening_;  // empty until ready()
    std::string sent_;
    Clock::time_point sent_at_;
    bool stopping_ = false;
};

}  // namespace

std::optional<int> run_as_managed_service() {
    const char* notify_address = std::getenv("NOTIFY_SOCKET");
    if (notify_address == nullptr || *notify_address == '\0') return std::nullopt;
    const NotifySocket notify(notify_address);

    // Blocked before any thread exists, so every thread inherits the mask and
    // the signals reach only the sigtimedwait below.
    sigset_t control_signals;
    sigemptyset(&control_signals);
    for (const int signal_number : {SIGTERM, SIGINT, SIGHUP, run_ended_signal}) {
        sigaddset(&control_signals, signal_number);
    }
    pthread_sigmask(SIG_BLOCK, &control_signals, nullptr);

    notify.send("STATUS=Starting\n" + extend_timeout(start_wait_hint_ms));

    // Sent from the run's thread: READY=1 only once the listener is open, so
    // that `systemctl start` does not report a service that never serves.
    RunningStatus status(notify);
    RunHooks hooks;
    hooks.ready = [&status](const std::string& listening) { status.ready(listening); };
    hooks.failed = [&notify](const std::string& reason) { notify.send("STATUS=" + reason); };
    const pthread_t signal_loop = pthread_self();
    std::future<int> run = std::async(std::launch::async, [&hooks, signal_loop] {
        const int run_status = run_service(hooks);
        pthread_kill(signal_loop, run_ended_signal);
        return run_status;
    });

    timespec status_wait{};
    status_wait.tv_sec = status_interval.count();
    for (;;) {
        const int signal_number = sigtimedwait(&control_signals, nullptr, &status_wait);
        if (signal_number == run_ended_signal) break;
        if (signal_number == SIGTERM || signal_number == SIGINT) {
            // One extension covers the whole stop, which may wait out the
            // database's time-outs for the batch being written.
            status.stop();
            notify.send("STOPPING=1\nSTATUS=Stopping\n" + extend_timeout(stop_bound_ms));
            stop_requested.store(true);
        } else if (signal_number == SIGHUP) {
            Log::reopen();
        }
        status.update();
    }

    // A run that ended by itself failed, and its hook has said why: exit
    // non-zero, so that the service manager records a failure and applies its
    // restart policy.
    const int run_status = run.get();
    if (run_status == 0) notify.send("STATUS=Stopped");
    return run_status == 0 ? 0 : 1;
}

}  // namespace tarn
