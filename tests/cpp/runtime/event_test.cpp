#include "runtime/event.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace quorix::rt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A notify() that comes during the spin, or after it while the waiter sleeps, ends the wait;
// `late` puts it well after the spin.
class SpinThenWait : public testing::TestWithParam<bool> {};

TEST_P(SpinThenWait, NotifyEndsTheWait) {
    const bool late = GetParam();
    CompletionEvent event;
    const std::uint32_t seen = event.seq();
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        event.spin_then_wait_for(seen, 30s, 50us);
        returned.store(true);
    });
    if (late) std::this_thread::sleep_for(100ms);
    event.notify();
    waiter.join();  // a missed notify would hang here for 30 s
    EXPECT_TRUE(returned.load());
    EXPECT_NE(event.seq(), seen);
}

INSTANTIATE_TEST_SUITE_P(Event, SpinThenWait, testing::Bool(),
                         [](const auto& info) { return info.param ? "AfterTheSpin" : "DuringTheSpin"; });

TEST(Event, SpinThenWaitReturnsAtOnceWhenNotifiedBefore) {
    CompletionEvent event;
    const std::uint32_t seen = event.seq();
    event.notify();
    const auto start = Clock::now();
    event.spin_then_wait_for(seen, 30s, 10s);
    EXPECT_LT(Clock::now() - start, 5s);
}

TEST(Event, SpinThenWaitKeepsATimeOutShorterThanTheSpin) {
    CompletionEvent event;
    const auto start = Clock::now();
    event.spin_then_wait_for(event.seq(), 20ms, 10s);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 20ms);
    EXPECT_LT(took, 5s);  // not the 10 s spin
}

TEST(Event, SpinThenWaitCountsTheSpinIntoTheTimeOut) {
    CompletionEvent event;
    const auto start = Clock::now();
    event.spin_then_wait_for(event.seq(), 700ms, 600ms);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 700ms);
    EXPECT_LT(took, 1200ms);  // the time-out in all; the spin and then the whole of it is 1.3 s
}

}  // namespace
}  // namespace quorix::rt
