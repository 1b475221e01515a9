// The shared budget for request bodies, and one body's share of it.
#include "http/body_budget.h"

#include <algorithm>
#include <utility>

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
    budget_->give_back(held_);
    budget_ = other.budget_;
    held_ = std::exchange(other.held_, 0);
    return *this;
}

bool BodyReservation::hold(std::size_t bytes) {
    const std::size_t more = std::max(bytes, held_) - held_;
    if (!budget_->take(more)) return false;
    held_ += more;
    return true;
}

}  // namespace tarn
