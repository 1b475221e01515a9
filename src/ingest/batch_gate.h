// A bound on how many batches are parsed and written at the same time.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace tarn {

// Batches are written one at a time (the database object serialises them),
// yet a parsed tree takes several times the size of its body. Without a
// bound, a burst of large uploads would hold a parsed tree per connection
// while they queue for the database. Any thread may enter and leave.
class BatchGate {
public:
    explicit BatchGate(std::size_t limit) : limit_(limit) {}
    BatchGate(const BatchGate&) = delete;
    BatchGate& operator=(const BatchGate&) = delete;

    // Holds one of the gate's places from construction to destruction;
    // construction waits until a place is free.
    class Pass {
    public:
        explicit Pass(BatchGate& gate);
        ~Pass();
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

    private:
        BatchGate& gate_;
    };

private:
    std::mutex mutex_;
    std::condition_variable place_freed_;
    std::size_t limit_;
    std::size_t inside_ = 0;
};

}  // namespace tarn
