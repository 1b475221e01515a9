// Whether the database can be reached: the state that GET /api/ready answers,
// kept from the batches' own contact with the server and from short probes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace tarn {

// One verdict on the database.
struct DbState {
    bool up = false;
    std::string reason;  // empty when up; otherwise one line, e.g. "db connect failed: [HY000] ..."
};

// What the readiness route and the metrics ask of the database. Db
// implements it; tests stand in for it. Any thread may call either member.
class DbReadiness {
public:
    virtual ~DbReadiness() = default;

    // The current state: the latest real contact's when it is recent, else a
    // probe's. Returns within 5 s whatever the server does: a probe ends
    // within its own time-outs (db_probe_timeouts), and a caller waits for
    // another's probe at most db_readiness_wait_limit.
    virtual DbState readiness() = 0;

    // The state as last seen, without contacting the server or waiting for
    // it. Before the first contact: down, "no contact with the database yet".
    virtual DbState last_known() const = 0;
};

// An outcome younger than this answers without a probe. It bounds how late a
// change is seen (this plus a probe's connect time-out, well within 15 s)
// and how often a probe runs, whatever the request rate: once per this
// interval at most.
constexpr std::chrono::seconds db_readiness_fresh_for{10};
// How long a caller waits for a probe that another caller runs before it
// takes the last known state instead.
constexpr std::chrono::seconds db_readiness_wait_limit{4};

// The latest known state and the rule for probing: a probe runs only when
// the latest outcome is older than db_readiness_fresh_for, on the thread of
// the caller that found it so, one at a time. Any thread.
class ReadinessRecord {
public:
    using Clock = std::chrono::steady_clock;

    // Takes the outcome of a real contact (a batch's connect, statement or
    // commit, or a probe). A change of state is logged once: to down at Warn
    // with the reason, to up at Info ("db: ready"); the first outcome is
    // logged only when it is down.
    void record(const DbState& state);

    // The recorded state while it is fresh. Otherwise runs `probe` here and
    // records its answer, unless another caller's probe is running: then
    // waits for its answer, at most db_readiness_wait_limit, and takes the
    // last known state when it has not come.
    DbState current(const std::function<DbState()>& probe);

    DbState last_known() const;

    // Probes run so far.
    std::uint64_t probes() const;

private:
    void record_locked(const DbState& state);

    mutable std::mutex mutex_;
    std::condition_variable probe_done_;
    DbState state_{false, "no contact with the database yet"};
    bool known_ = false;             // a contact has been recorded
    Clock::time_point recorded_at_;  // of the latest contact, when known_
    bool probing_ = false;
    std::uint64_t probes_ = 0;
};

}  // namespace tarn
