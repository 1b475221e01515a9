// A counting gate with a deadline and a stop, around the parse and write of a batch.
#include "ingest/batch_gate.h"

namespace tarn {

BatchGate::Pass::Pass(BatchGate& gate, Clock::time_point deadline) : gate_(gate) {
    std::unique_lock<std::mutex> lock(gate_.mutex_);
    ++gate_.waiting_;
    gate_.changed_.wait_until(lock, deadline, [this] { return gate_.stopping_ || gate_.inside_ < gate_.limit_; });
    --gate_.waiting_;
    if (gate_.stopping_) {
        entry_ = Entry::stopping;
    } else if (gate_.inside_ < gate_.limit_) {
        ++gate_.inside_;
        entry_ = Entry::entered;
    }
}

BatchGate::Pass::~Pass() {
    if (entry_ != Entry::entered) return;
    {
        std::lock_guard<std::mutex> lock(gate_.mutex_);
        --gate_.inside_;
    }
    gate_.changed_.notify_one();
}

void BatchGate::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
}

std::size_t BatchGate::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
}

}  // namespace tarn
