#include "web/answer_budget.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "loopback_server.h"
#include "web/web_client.h"

namespace vesprey {
namespace {

using Clock = std::chrono::steady_clock;
using Refusal = AnswerHold::Refusal;

constexpr std::size_t kMebibyte = std::size_t{1024} * 1024;

Clock::time_point in(std::chrono::milliseconds wait) {
    return Clock::now() + wait;
}

TEST(AnswerBudget, HoldsAreCountedTogetherAndGivenBack) {
    auto budget = std::make_shared<AnswerBudget>(100);
    AnswerHold first(budget);
    AnswerHold second(budget);
    EXPECT_EQ(first.growTo(60, in(std::chrono::seconds(1))), Refusal::None);
    EXPECT_EQ(second.growTo(40, in(std::chrono::seconds(1))), Refusal::None);
    EXPECT_EQ(budget->used(), 100u);
    first.release();
    EXPECT_EQ(budget->used(), 40u);
    {
        AnswerHold moved = std::move(second);
        EXPECT_EQ(moved.held(), 40u);
    }
    EXPECT_EQ(budget->used(), 0u);
}

TEST(AnswerBudget, MoreThanTheWholeBudgetIsRefusedAtOnce) {
    auto budget = std::make_shared<AnswerBudget>(100);
    AnswerHold hold(budget);
    const auto asked = Clock::now();
    EXPECT_EQ(hold.growTo(101, in(std::chrono::hours(1))), Refusal::TooLarge);
    EXPECT_LT(Clock::now() - asked, std::chrono::minutes(1));
    EXPECT_EQ(hold.held(), 0u);
    EXPECT_EQ(budget->used(), 0u);
}

TEST(AnswerBudget, AHoldWaitsUntilAnotherGivesBack) {
    auto budget = std::make_shared<AnswerBudget>(100);
    AnswerHold first(budget);
    ASSERT_EQ(first.growTo(80, in(std::chrono::seconds(1))), Refusal::None);
    std::future<Refusal> waiting = std::async(std::launch::async, [&] {
        AnswerHold second(budget);
        return second.growTo(50, in(std::chrono::hours(1)));
    });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    first.release();
    EXPECT_EQ(waiting.get(), Refusal::None);
    EXPECT_EQ(budget->used(), 0u);
}

TEST(AnswerBudget, AWaitEndsAtItsDeadline) {
    auto budget = std::make_shared<AnswerBudget>(100);
    AnswerHold first(budget);
    ASSERT_EQ(first.growTo(80, in(std::chrono::seconds(1))), Refusal::None);
    AnswerHold second(budget);
    EXPECT_EQ(second.growTo(50, in(std::chrono::milliseconds(50))), Refusal::NoRoom);
    EXPECT_EQ(second.held(), 0u);
    EXPECT_EQ(budget->used(), 80u);
}

// Two holds that each wait for more than the other leaves would wait for ever: the one that
// finds every holder waiting is refused, keeps what it held until it lets go, and the other then
// gets its bytes.
TEST(AnswerBudget, HoldsThatWouldWaitForEachOtherDoNotBothWait) {
    auto budget = std::make_shared<AnswerBudget>(100);
    AnswerHold first(budget);
    AnswerHold second(budget);
    ASSERT_EQ(first.growTo(50, in(std::chrono::seconds(1))), Refusal::None);
    ASSERT_EQ(second.growTo(50, in(std::chrono::seconds(1))), Refusal::None);
    const auto ask = [](AnswerHold& hold) {
        const Refusal refusal = hold.growTo(90, in(std::chrono::hours(1)));
        if (refusal != Refusal::None) {
            hold.release();  // as a refused request lets go of its body
        }
        return refusal;
    };
    std::future<Refusal> firstAsks = std::async(std::launch::async, [&] { return ask(first); });
    const Refusal secondAsked = ask(second);
    const Refusal firstAsked = firstAsks.get();
    EXPECT_NE(firstAsked == Refusal::None, secondAsked == Refusal::None);
    EXPECT_EQ(first.held() + second.held(), 90u);
}

// An answer without an announced length grows its hold as it comes; one that outgrows the budget
// fails with its reason, and what it held is given back.
TEST(AnswerBudget, ARequestWhoseAnswerOutgrowsTheBudgetFailsWithTheReason) {
    test::LocalServer<> site;
    site->Get("/stream", [](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("text/plain",
                                              [](std::size_t sent, httplib::DataSink& sink) {
                                                  if (sent >= 40 * kMebibyte) {
                                                      sink.done();
                                                      return true;
                                                  }
                                                  static const std::string piece(kMebibyte, 'x');
                                                  return sink.write(piece.data(), piece.size());
                                              });
    });
    site.start();
    auto budget = std::make_shared<AnswerBudget>(16 * kMebibyte);
    HttpRequest request;
    const std::string url = site.url("/stream");
    request.url = url;
    request.answerBudget = budget;
    const HttpResponse response = WebClient::send(request);
    EXPECT_EQ(response.error.code, HttpErrorCode::AnswerTooLarge);
    EXPECT_EQ(ansiToUtf8(response.error.message).find("答复太大（"), 0u)
        << ansiToUtf8(response.error.message);
    EXPECT_NE(ansiToUtf8(response.error.message).find("超过了答复内存限额（16 MB），没有收下"),
              std::string::npos)
        << ansiToUtf8(response.error.message);
    EXPECT_TRUE(response.body.empty());
    EXPECT_EQ(budget->used(), 0u);
}

// The body of an answer that fits holds its bytes for as long as the response keeps them.
TEST(AnswerBudget, AResponseHoldsItsBodysBytesUntilItGoes) {
    test::LocalServer<> site;
    site->Get("/page", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(std::string(3 * kMebibyte, 'y'), "text/plain");
    });
    site.start();
    auto budget = std::make_shared<AnswerBudget>(16 * kMebibyte);
    HttpRequest request;
    const std::string url = site.url("/page");
    request.url = url;
    request.answerBudget = budget;
    {
        const HttpResponse response = WebClient::send(request);
        ASSERT_TRUE(response.answered()) << ansiToUtf8(response.error.message);
        EXPECT_EQ(response.body.size(), 3 * kMebibyte);
        EXPECT_EQ(budget->used(), 3 * kMebibyte);
    }
    EXPECT_EQ(budget->used(), 0u);
}

}  // namespace
}  // namespace vesprey
