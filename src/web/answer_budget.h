// Memory for answers that requests running at the same time share. Each answer holds bytes of one
// budget while its body is received and for as long as its taker keeps the hold (a pass: until
// the answer is evaluated); together the holds never exceed the budget. An answer whose length is
// announced asks for all of it at once, one without grows its hold as the body comes in.
//
// An answer that does not fit waits until others give back enough, up to its request's deadline.
// It never waits in vain: an answer larger than the whole budget is refused at once, and when
// every answer holding bytes is itself waiting for more (no one would give any back), the one
// that finds this is refused and gives back what it held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>

namespace vesprey {

class AnswerBudget {
public:
    explicit AnswerBudget(std::size_t bytes) : capacity_(bytes) {}
    AnswerBudget(const AnswerBudget&) = delete;
    AnswerBudget& operator=(const AnswerBudget&) = delete;

    std::size_t capacity() const { return capacity_; }
    // The bytes all holds hold together.
    std::size_t used() const;

private:
    friend class AnswerHold;
    enum class Grant { Granted, TooLarge, NoRoom };
    Grant grow(std::size_t held, std::size_t wanted, std::chrono::steady_clock::time_point until);
    void giveBack(std::size_t held);

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t used_ = 0;
    std::size_t holders_ = 0;         // holds with bytes
    std::size_t waitingHolders_ = 0;  // of them, those waiting for more
};

// The bytes of one answer in a budget; given back when the hold goes or is released. Without a
// budget every growth is granted and nothing is counted.
class AnswerHold {
public:
    enum class Refusal { None, TooLarge, NoRoom };

    AnswerHold() = default;
    explicit AnswerHold(std::shared_ptr<AnswerBudget> budget) : budget_(std::move(budget)) {}
    ~AnswerHold() { release(); }
    AnswerHold(AnswerHold&& other) noexcept;
    AnswerHold& operator=(AnswerHold&& other) noexcept;
    AnswerHold(const AnswerHold&) = delete;
    AnswerHold& operator=(const AnswerHold&) = delete;

    // Holds at least `bytes` in all, waiting until `until` while others hold what is missing.
    // TooLarge: more than the whole budget; NoRoom: the deadline passed, or no one would give
    // back. What was held before stays held either way.
    Refusal growTo(std::size_t bytes, std::chrono::steady_clock::time_point until);
    void release();

    std::size_t held() const { return held_; }
    const AnswerBudget* budget() const { return budget_.get(); }

private:
    std::shared_ptr<AnswerBudget> budget_;
    std::size_t held_ = 0;
};

}  // namespace vesprey
