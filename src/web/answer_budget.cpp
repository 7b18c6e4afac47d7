#include "web/answer_budget.h"

#include <utility>

namespace vesprey {

std::size_t AnswerBudget::used() const {
    std::lock_guard lock(mutex_);
    return used_;
}

AnswerBudget::Grant AnswerBudget::grow(std::size_t held, std::size_t wanted,
                                       std::chrono::steady_clock::time_point until) {
    if (wanted > capacity_) {
        return Grant::TooLarge;
    }
    const std::size_t more = wanted - held;
    std::unique_lock lock(mutex_);
    const auto fits = [&] { return used_ + more <= capacity_; };
    if (!fits()) {
        // A hold that has bytes and waits keeps them from everyone else: when all such holds
        // wait, none would ever give back, and this one is refused instead of waiting.
        const bool holder = held > 0;
        if (holder) {
            ++waitingHolders_;
        }
        bool granted = false;
        while (true) {
            if (fits()) {
                granted = true;
                break;
            }
            if ((holder && waitingHolders_ == holders_) ||
                changed_.wait_until(lock, until) == std::cv_status::timeout) {
                granted = fits();
                break;
            }
        }
        if (holder) {
            --waitingHolders_;
        }
        if (!granted) {
            return Grant::NoRoom;
        }
    }
    used_ += more;
    if (held == 0 && more > 0) {
        ++holders_;
    }
    return Grant::Granted;
}

void AnswerBudget::giveBack(std::size_t held) {
    {
        std::lock_guard lock(mutex_);
        used_ -= held;
        --holders_;
    }
    changed_.notify_all();
}

AnswerHold::AnswerHold(AnswerHold&& other) noexcept
    : budget_(std::move(other.budget_)), held_(std::exchange(other.held_, 0)) {}

AnswerHold& AnswerHold::operator=(AnswerHold&& other) noexcept {
    if (this != &other) {
        release();
        budget_ = std::move(other.budget_);
        held_ = std::exchange(other.held_, 0);
    }
    return *this;
}

AnswerHold::Refusal AnswerHold::growTo(std::size_t bytes,
                                       std::chrono::steady_clock::time_point until) {
    if (bytes <= held_) {
        return Refusal::None;
    }
    if (!budget_) {
        held_ = bytes;
        return Refusal::None;
    }
    switch (budget_->grow(held_, bytes, until)) {
        case AnswerBudget::Grant::Granted:
            held_ = bytes;
            return Refusal::None;
        case AnswerBudget::Grant::TooLarge:
            return Refusal::TooLarge;
        case AnswerBudget::Grant::NoRoom:
            break;
    }
    return Refusal::NoRoom;
}

void AnswerHold::release() {
    if (budget_ && held_ > 0) {
        budget_->giveBack(held_);
    }
    held_ = 0;
}

}  // namespace vesprey
