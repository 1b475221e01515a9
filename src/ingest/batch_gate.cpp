// A counting gate with a deadline around the parse and write of a batch.
#include "ingest/batch_gate.h"

#include <algorithm>

namespace tarn {
namespace {

// How often a waiting batch asks whether the server is stopping.
constexpr auto stop_poll_interval = std::chrono::milliseconds(50);

}  // namespace

BatchGate::Pass::Pass(BatchGate& gate, Clock::time_point deadline, const std::function<bool()>& stopping)
    : gate_(gate), entry_(Entry::timed_out) {
    std::unique_lock<std::mutex> lock(gate_.mutex_);
    ++gate_.waiting_;
    for (;;) {
        if (stopping && stopping()) {
            entry_ = Entry::stopping;
            break;
        }
        if (gate_.inside_ < gate_.limit_) {
            ++gate_.inside_;
            entry_ = Entry::entered;
            break;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) break;
        gate_.place_freed_.wait_until(lock, std::min(deadline, now + stop_poll_interval));
    }
    --gate_.waiting_;
}

std::size_t BatchGate::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
}

BatchGate::Pass::~Pass() {
    if (entry_ != Entry::entered) return;
    {
        std::lock_guard<std::mutex> lock(gate_.mutex_);
        --gate_.inside_;
    }
    gate_.place_freed_.notify_one();
}

}  // namespace tarn
