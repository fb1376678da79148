#include "runtime/event.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
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

// A wait that nothing ends lasts its time-out, the spin counted in; `most` bounds it well
// below the spin and the time-out added up.
struct TimeOutCase {
    const char* name;
    std::chrono::milliseconds timeout, spin, most;
};

class SpinThenWaitTimeOut : public testing::TestWithParam<TimeOutCase> {};

TEST_P(SpinThenWaitTimeOut, LastsTheTimeOut) {
    const TimeOutCase c = GetParam();
    CompletionEvent event;
    const auto start = Clock::now();
    event.spin_then_wait_for(event.seq(), c.timeout, c.spin);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, c.timeout);
    EXPECT_LT(took, c.most);
}

// A 20 ms time-out ends a 10 s spin; a 600 ms spin counts into a 700 ms time-out (not 1.3 s).
INSTANTIATE_TEST_SUITE_P(Event, SpinThenWaitTimeOut,
                         testing::Values(TimeOutCase{"ShorterThanTheSpin", 20ms, 10s, 5s},
                                         TimeOutCase{"SpinCountedIn", 700ms, 600ms, 1200ms}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorix::rt
