// The shared budget for request bodies, and one body's share of it.
#include "http/body_budget.h"

namespace tarn {

bool BodyBudget::take(std::size_t bytes) {
    std::size_t used = in_use_.load();
    do {
        if (bytes > limit_ - used) return false;
    } while (!in_use_.compare_exchange_weak(used, used + bytes));
    return true;
}

void BodyBudget::give_back(std::size_t bytes) { in_use_.fetch_sub(bytes); }

BodyReservation& BodyReservation::operator=(BodyReservation&& other) noexcept {
    if (this != &other) {
        budget_->give_back(held_);
        budget_ = other.budget_;
        held_ = other.held_;
        other.held_ = 0;
    }
    return *this;
}

bool BodyReservation::hold(std::size_t bytes) {
    if (bytes <= held_) return true;
    if (!budget_->take(bytes - held_)) return false;
    held_ = bytes;
    return true;
}

}  // namespace tarn
