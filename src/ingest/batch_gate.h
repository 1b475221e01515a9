// Bounded waits for a batch's turn: how many batches are parsed and written
// at the same time, and how long one may wait for that.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace tarn {

// A counting gate. Any thread may enter, leave and stop it.
class BatchGate {
public:
    using Clock = std::chrono::steady_clock;
    enum class Entry { entered, timed_out, stopping };

    explicit BatchGate(std::size_t limit) : limit_(limit) {}
    BatchGate(const BatchGate&) = delete;
    BatchGate& operator=(const BatchGate&) = delete;

    // Waits for one of the gate's places until `deadline`, or until the gate
    // is stopped, and holds the place, if it got one, until destroyed.
    class Pass {
    public:
        Pass(BatchGate& gate, Clock::time_point deadline);
        ~Pass();
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

        Entry entry() const { return entry_; }

    private:
        BatchGate& gate_;
        Entry entry_ = Entry::timed_out;
    };

    // From now on no pass gets a place: the waiting ones, and every later
    // one, end at once with Entry::stopping. Passes inside keep their place.
    void stop();

    // Passes waiting for a place now.
    std::size_t waiting() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    const std::size_t limit_;
    std::size_t inside_ = 0;   // guarded by mutex_
    std::size_t waiting_ = 0;  // guarded by mutex_
    bool stopping_ = false;    // guarded by mutex_
};

// Batches are written one at a time (the database takes one transaction at
// a time), yet a parsed tree takes several times the size of its body:
// without a bound, a burst of large uploads would hold a parsed tree per
// connection while they queue. So at most two batches are parsed and
// written at once (one being written, the next parsed and waiting), and a
// batch that has not got its turn within `wait_limit` is answered instead of
// waiting on (a hung database would otherwise hold every one). When the
// service begins to stop, stop() answers every batch still waiting.
struct BatchTurns {
    static constexpr std::size_t in_memory_limit = 2;
    static constexpr std::chrono::milliseconds default_wait_limit{30000};

    void stop() {
        in_memory.stop();
        writing.stop();
    }

    BatchGate in_memory{in_memory_limit};
    BatchGate writing{1};
    std::chrono::milliseconds wait_limit = default_wait_limit;
};

}  // namespace tarn
