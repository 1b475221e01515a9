// Bounded waits for a batch's turn: how many batches are parsed and written
// at the same time, and how long one may wait for that.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

namespace tarn {

// A counting gate. Any thread may enter and leave.
class BatchGate {
public:
    using Clock = std::chrono::steady_clock;
    enum class Entry { entered, timed_out, stopping };

    explicit BatchGate(std::size_t limit) : limit_(limit) {}
    BatchGate(const BatchGate&) = delete;
    BatchGate& operator=(const BatchGate&) = delete;

    // Waits for one of the gate's places until `deadline`, or until
    // `stopping` (when given; asked every 50 ms) answers true, and holds the
    // place, if it got one, until destroyed.
    class Pass {
    public:
        Pass(BatchGate& gate, Clock::time_point deadline, const std::function<bool()>& stopping);
        ~Pass();
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

        Entry entry() const { return entry_; }

    private:
        BatchGate& gate_;
        Entry entry_;
    };

    // Passes waiting for a place now; any thread.
    std::size_t waiting() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable place_freed_;
    std::size_t limit_;
    std::size_t inside_ = 0;   // guarded by mutex_
    std::size_t waiting_ = 0;  // guarded by mutex_
};

// Batches are written one at a time (the database takes one transaction at
// a time), yet a parsed tree takes several times the size of its body:
// without a bound, a burst of large uploads would hold a parsed tree per
// connection while they queue. So at most two batches are parsed and
// written at once (one being written, the next parsed and waiting), and a
// batch that has not got its turn within `wait_limit` is answered instead of
// waiting on (a hung database would otherwise hold every one).
struct BatchTurns {
    static constexpr std::size_t in_memory_limit = 2;
    static constexpr std::chrono::milliseconds default_wait_limit{30000};

    BatchGate in_memory{in_memory_limit};
    BatchGate writing{1};
    std::chrono::milliseconds wait_limit = default_wait_limit;
};

}  // namespace tarn
