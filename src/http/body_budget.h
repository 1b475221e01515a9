// One budget for the request-body bytes that all connections hold together,
// so that many large uploads at once cannot take the process's memory.
#pragma once

#include <atomic>
#include <cstddef>

namespace tarn {

// A count of bytes against a fixed limit. Any thread may take and give back.
class BodyBudget {
public:
    explicit BodyBudget(std::size_t limit_bytes) : limit_(limit_bytes) {}
    BodyBudget(const BodyBudget&) = delete;
    BodyBudget& operator=(const BodyBudget&) = delete;

    // Takes `bytes` of the budget and returns true; returns false, taking
    // nothing, when they do not fit beside what is taken already.
    bool take(std::size_t bytes);
    // Gives back bytes taken before.
    void give_back(std::size_t bytes);
    // Bytes taken now.
    std::size_t in_use() const { return in_use_.load(); }
    std::size_t limit() const { return limit_; }

private:
    const std::size_t limit_;
    std::atomic<std::size_t> in_use_{0};
};

// The share of a BodyBudget that one body holds; given back when destroyed.
// Move-assignable; used by one thread at a time.
class BodyReservation {
public:
    explicit BodyReservation(BodyBudget& budget) : budget_(&budget) {}
    // Takes over what `other` held; not to be assigned to itself.
    BodyReservation& operator=(BodyReservation&& other) noexcept;
    BodyReservation(const BodyReservation&) = delete;
    BodyReservation& operator=(const BodyReservation&) = delete;
    ~BodyReservation() { budget_->give_back(held_); }

    // Holds at least `bytes` in all: true when it does (taking the
    // difference if need be); false, holding what it held, when the budget
    // cannot give the difference.
    bool hold(std::size_t bytes);
    std::size_t held() const { return held_; }

private:
    BodyBudget* budget_;
    std::size_t held_ = 0;
};

}  // namespace tarn
