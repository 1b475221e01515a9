// The latest known state of the database, and when to probe it.
#include "db/readiness.h"

#include "log/log.h"
#include "metrics/metrics.h"

namespace tarn {

void ReadinessRecord::record(const DbState& state) {
    std::lock_guard<std::mutex> lock(mutex_);
    record_locked(state);
}

void ReadinessRecord::record_locked(const DbState& state) {
    // Logged under the lock, so that the lines come in the order of the
    // changes they report.
    if (!state.up && (state_.up || !known_)) {
        Log::write(LogLevel::Warn, "db: not ready: %s", state.reason.c_str());
    } else if (state.up && !state_.up && known_) {
        Log::write(LogLevel::Info, "db: ready");
    }
    state_ = state;
    known_ = true;
    recorded_at_ = Clock::now();
    metrics().db_up.set(state.up ? 1 : 0);
}

DbState ReadinessRecord::current(const std::function<DbState()>& probe) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (known_ && Clock::now() - recorded_at_ < db_readiness_fresh_for) return state_;
    if (probing_) {
        const std::uint64_t running = probes_;
        probe_done_.wait_for(lock, db_readiness_wait_limit, [&] { return probes_ != running; });
        return state_;
    }
    probing_ = true;
    lock.unlock();
    DbState probed;
    try {
        probed = probe();
    } catch (...) {
        // Another caller must still be able to probe.
        lock.lock();
        probing_ = false;
        throw;
    }
    lock.lock();
    probing_ = false;
    ++probes_;
    record_locked(probed);
    probe_done_.notify_all();
    return probed;
}

DbState ReadinessRecord::last_known() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

std::uint64_t ReadinessRecord::probes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return probes_;
}

}  // namespace tarn
