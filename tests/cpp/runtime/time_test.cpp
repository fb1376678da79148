#include "runtime/time.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "runtime/interval.hpp"
#include "runtime/reactor.hpp"
#include "runtime/runtime.hpp"
#include "runtime/select.hpp"
#include "runtime_test_util.hpp"

namespace quorix::rt {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

TEST(RtTime, DeadlineAfterSaturatesToNever) {
    const Instant t0 = now();
    EXPECT_EQ(deadline_after(5ms, t0), t0 + 5ms);
    EXPECT_EQ(deadline_after(-5ms, t0), t0);
    EXPECT_EQ(deadline_after(Duration::max(), t0), NEVER);
    EXPECT_EQ(deadline_after(std::chrono::hours::max(), t0), NEVER);
    EXPECT_EQ(deadline_after(std::chrono::milliseconds(UINT64_MAX / 2), t0), NEVER);
    EXPECT_EQ(deadline_after(1ns, NEVER - 1ns), NEVER);
}

TEST(RtTime, SleepEndsAfterItsDeadlineAndPastDeadlinesAreReadyAtOnce) {
    Runtime rt(RuntimeConfig{.workers = 1});
    auto body = [&]() -> Task<bool> {
        const Instant deadline = now() + 2ms;
        co_await sleep_until(deadline);
        const bool late_enough = now() >= deadline;
        co_await sleep_until(now() - 1s);  // in the past
        co_await sleep(0ms);
        co_return late_enough;
    };
    EXPECT_TRUE(rt.block_on(body()));
    EXPECT_EQ(rt.reactor().pending_timers(), 0u);
}

TEST(RtTime, TimersFireInDeadlineOrder) {
    Runtime rt(RuntimeConfig{.workers = 1});
    std::mutex mu;
    std::vector<int> order;
    auto one = [&](int i, Instant at) -> Task<void> {
        co_await sleep_until(at);
        std::lock_guard lock(mu);
        order.push_back(i);
    };
    const Instant base = now() + 20ms;
    std::vector<JoinHandle<void>> hs;
    for (int i : {3, 1, 4, 0, 2}) hs.push_back(rt.spawn(one(i, base + i * 3ms)));
    ASSERT_TRUE(eventually([&] {
        for (auto& h : hs)
            if (!h.is_finished()) return false;
        return true;
    }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(RtTime, TimersFireWhileEveryWorkerIsBusy) {
    // The only worker is held: the deadline is fired by the reactor thread, the backstop.
    Runtime rt(RuntimeConfig{.workers = 1});
    testing::Event busy, release;
    auto occupy = [&]() -> Task<void> {
        busy.set();
        release.wait();
        co_return;
    };
    auto h = rt.spawn(occupy());
    ASSERT_TRUE(busy.wait());
    auto nap = []() -> Task<int> {
        co_await sleep(2ms);
        co_return 1;
    };
    EXPECT_EQ(rt.block_on(nap()), 1);
    release.set();
    ASSERT_TRUE(eventually([&] { return h.is_finished(); }));
}

TEST(RtTime, AnEarlierTimerOvertakesTheOneAnIdleWorkerWatches) {
    Runtime rt(RuntimeConfig{.workers = 1});
    auto far = []() -> Task<void> { co_await sleep(1h); };
    auto h = rt.spawn(far());
    ASSERT_TRUE(eventually([&] { return rt.reactor().pending_timers() == 1; }));
    // The idle worker now waits for the 1 h deadline; this one must not wait behind it.
    auto nap = []() -> Task<int> {
        co_await sleep(1ms);
        co_return 2;
    };
    EXPECT_EQ(rt.block_on(nap()), 2);
    h.abort();
    ASSERT_TRUE(eventually([&] { return h.is_finished(); }));
}

struct SkipCase {
    const char* name;
    std::int64_t late_ns;  // when the tick is taken, relative to its deadline
    std::int64_t period_ns;
    std::int64_t expected_next_ns;  // relative to the deadline of the tick taken
};

class RtIntervalSkip : public ::testing::TestWithParam<SkipCase> {};

TEST_P(RtIntervalSkip, NextDeadline) {
    const SkipCase& c = GetParam();
    const Instant deadline = Instant(1000s);
    const Instant next = next_tick_deadline(deadline, deadline + Duration(c.late_ns), Duration(c.period_ns));
    EXPECT_EQ((next - deadline).count(), c.expected_next_ns);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RtIntervalSkip,
    ::testing::Values(
        SkipCase{"on_time", 0, 10'000'000, 10'000'000}, SkipCase{"early", -1'000, 10'000'000, 10'000'000},
        SkipCase{"late_within_tolerance", 5'000'000, 10'000'000, 10'000'000},
        // Small periods keep their grid while within 5 ms, even if the next deadline has passed.
        SkipCase{"within_tolerance_short_period", 4'000'000, 1'000'000, 1'000'000},
        SkipCase{"late_beyond_tolerance", 5'000'001, 10'000'000, 10'000'000},
        SkipCase{"late_two_periods_and_a_bit", 25'000'000, 10'000'000, 30'000'000},
        SkipCase{"late_exactly_on_grid", 30'000'000, 10'000'000, 40'000'000},
        SkipCase{"late_short_period", 6'500'000, 1'000'000, 7'000'000},
        SkipCase{"late_period_above_lateness", 7'000'000, 333'333'333, 333'333'333}),
    [](const auto& info) { return info.param.name; });

TEST(RtInterval, TicksFromItsStartOnTheGrid) {
    Runtime rt(RuntimeConfig{.workers = 1});
    auto body = [&]() -> Task<std::vector<Instant>> {
        const Instant start = now();
        Interval iv(2ms, start);
        std::vector<Instant> ticks;
        for (int i = 0; i < 4; ++i) ticks.push_back(co_await iv.tick());
        ticks.push_back(start);
        co_return ticks;
    };
    auto ticks = rt.block_on(body());
    const Instant start = ticks.back();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(ticks[i], start + i * 2ms) << i;
}

TEST(RtInterval, ALateTickSkipsToTheNextGridPoint) {
    Runtime rt(RuntimeConfig{.workers = 1});
    auto body = [&]() -> Task<std::vector<Instant>> {
        const Instant start = now() - 23ms;  // as if the task had been starved for 23 ms
        Interval iv(10ms, start);
        std::vector<Instant> ticks{start};
        ticks.push_back(co_await iv.tick());  // taken at once, late
        ticks.push_back(co_await iv.tick());
        co_return ticks;
    };
    auto ticks = rt.block_on(body());
    EXPECT_EQ(ticks[1], ticks[0]);
    EXPECT_EQ(ticks[2], ticks[0] + 30ms);  // 10 and 20 ms are skipped, not made up
}

TEST(RtInterval, ALosingTickLeavesTheIntervalAlone) {
    Runtime rt(RuntimeConfig{.workers = 1});
    auto body = [&]() -> Task<bool> {
        Interval iv(1h);
        co_await iv.tick();  // the first one is immediate
        const Instant next = iv.next_deadline();
        auto r = co_await select(iv.tick(), sleep(1ms));
        co_return r.index() == 1 && iv.next_deadline() == next;
    };
    EXPECT_TRUE(rt.block_on(body()));
    EXPECT_EQ(rt.reactor().pending_timers(), 0u);
}

}  // namespace
}  // namespace quorix::rt
