// A counting gate around the parse and write of a batch.
#include "ingest/batch_gate.h"

namespace tarn {

BatchGate::Pass::Pass(BatchGate& gate) : gate_(gate) {
    std::unique_lock<std::mutex> lock(gate_.mutex_);
    gate_.place_freed_.wait(lock, [this] { return gate_.inside_ < gate_.limit_; });
    ++gate_.inside_;
}

BatchGate::Pass::~Pass() {
    {
        std::lock_guard<std::mutex> lock(gate_.mutex_);
        --gate_.inside_;
    }
    gate_.place_freed_.notify_one();
}

}  // namespace tarn
