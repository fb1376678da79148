#include "core/timer/timer_start.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include "base/panic.hpp"

namespace quorix {
namespace {

using std::chrono::milliseconds;

// Counts calls and releases, and says on which thread the release ran.
struct Tally {
    std::mutex m;
    std::condition_variable cv;
    int calls = 0;
    int releases = 0;
    bool released_on_caller = false;

    template <class P>
    bool wait(P pred) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, std::chrono::seconds{10}, [&] { return pred(*this); });
    }
};

struct CountingCall : TimerCall {
    Tally* t;
    std::thread::id caller = std::this_thread::get_id();
    explicit CountingCall(Tally* tally) : t(tally) {}
    bool call() override {
        std::lock_guard lock(t->m);
        ++t->calls;
        t->cv.notify_all();
        return true;
    }
    void release() override {
        std::lock_guard lock(t->m);
        ++t->releases;
        t->released_on_caller = std::this_thread::get_id() == caller;
        t->cv.notify_all();
    }
};

// The Normal loops' runtime; leaked like the process's own, so no loop outlives it.
rt::Runtime& test_runtime() {
    static rt::Runtime* const RUNTIME = new rt::Runtime(rt::RuntimeConfig{.workers = 1});
    return *RUNTIME;
}

rt::Runtime& failing_runtime() { throw Panic("no runtime"); }

class TimerStart : public ::testing::TestWithParam<TimerPrecision> {
protected:
    TaskManager registry_;
    Tally tally_;
};

TEST_P(TimerStart, RunsTheLoopOfItsPrecisionAndRegistersIt) {
    const TimerPrecision precision = GetParam();
    StartedTimer t = start_timer(TimerHost{&registry_, test_runtime}, 7, precision, milliseconds{5},
                                 std::make_unique<CountingCall>(&tally_));
    EXPECT_EQ(t.id, 7u);
    EXPECT_EQ(registry_.timer_count(), 1u);
    EXPECT_TRUE(t.running->load());
    if (has_own_thread(precision)) {
        std::lock_guard lock(t.thread_handle->mutex);
        EXPECT_TRUE(t.thread_handle->thread.has_value());
        EXPECT_FALSE(t.handle->join.has_value());
    } else {
        EXPECT_TRUE(t.handle->join.has_value());
        EXPECT_FALSE(t.thread_handle->thread.has_value());
    }
    ASSERT_TRUE(tally_.wait([](Tally& x) { return x.calls >= 3; }));

    stop_and_unregister(registry_, t.id, t.running);
    EXPECT_FALSE(t.running->load());
    EXPECT_EQ(registry_.total_count(), 0u);
    ASSERT_TRUE(tally_.wait([](Tally& x) { return x.releases == 1; }));
    EXPECT_FALSE(tally_.released_on_caller) << "a running loop lets go of its call itself";
    EXPECT_GE(t.ticks->load(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Precisions, TimerStart,
                         ::testing::Values(TimerPrecision::Normal, TimerPrecision::High,
                                           TimerPrecision::Realtime));

TEST(TimerStartFailure, RuntimeThatCannotBeMadeReleasesTheCallAndRegistersNothing) {
    TaskManager registry;
    Tally tally;
    EXPECT_THROW(start_timer(TimerHost{&registry, failing_runtime}, 1, TimerPrecision::Normal,
                             milliseconds{5}, std::make_unique<CountingCall>(&tally)),
                 Panic);
    EXPECT_EQ(tally.releases, 1);
    EXPECT_TRUE(tally.released_on_caller);
    EXPECT_EQ(tally.calls, 0);
    EXPECT_EQ(registry.total_count(), 0u);
}

TEST(TimerStartFailure, DedicatedTimersNeverAskForTheRuntime) {
    TaskManager registry;
    Tally tally;
    StartedTimer t = start_timer(TimerHost{&registry, failing_runtime}, 2, TimerPrecision::High,
                                 milliseconds{5}, std::make_unique<CountingCall>(&tally));
    ASSERT_TRUE(tally.wait([](Tally& x) { return x.calls >= 1; }));
    stop_and_unregister(registry, t.id, t.running);
    ASSERT_TRUE(tally.wait([](Tally& x) { return x.releases == 1; }));
}

TEST(TimerFigures, ElapsedSecondsAndAFrequencyThatIsZeroUntilTimeHasPassed) {
    EXPECT_EQ(elapsed_secs(Instant{500}, Instant{1'500'000'500}), 1.5);
    EXPECT_EQ(actual_frequency(10, 2.0), 5.0);
    EXPECT_EQ(actual_frequency(10, 0.0), 0.0);
}

}  // namespace
}  // namespace quorix
