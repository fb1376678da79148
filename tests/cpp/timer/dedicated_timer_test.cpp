#include "core/timer/dedicated_timer.hpp"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <functional>
#include <vector>

namespace quorix {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// Records the start of every call and every prepare(); `on_call(k)` runs inside call k (0-based).
struct RecordingCall : TimerCall {
    std::vector<Instant>* starts;
    std::function<bool(std::size_t)> on_call;
    int* releases;
    std::vector<Instant> prepares;

    RecordingCall(std::vector<Instant>* s, std::function<bool(std::size_t)> f, int* r)
        : starts(s), on_call(std::move(f)), releases(r) {}
    bool call() override {
        starts->push_back(monotonic_now());
        return on_call(starts->size() - 1);
    }
    void prepare() noexcept override { prepares.push_back(monotonic_now()); }
    void release() override { ++*releases; }
};

struct LoopFixture {
    std::vector<Instant> starts;
    int releases = 0;
    TaskManager registry;  // private: stop_all here leaves the process's registry alone
    DedicatedLoop loop;

    LoopFixture(nanoseconds period, nanoseconds spin, std::function<bool(std::size_t)> on_call) {
        loop.running = std::make_shared<std::atomic<bool>>(true);
        loop.tick_count = std::make_shared<std::atomic<std::uint64_t>>(0);
        loop.call = std::make_unique<RecordingCall>(&starts, std::move(on_call), &releases);
        loop.period = period;
        loop.spin_window = spin;
        loop.registry = &registry;
    }
    // Stops the loop from inside call `last`, so exactly last + 1 calls are made.
    static std::function<bool(std::size_t)> stop_after(LoopFixture* self, std::size_t last,
                                                       std::function<void(std::size_t)> extra = {}) {
        return [self, last, extra](std::size_t k) {
            if (extra) extra(k);
            if (k == last) self->loop.running->store(false);
            return true;
        };
    }
};

TEST(SkipMissedDeadlines, KeepsADeadlineThatIsNotPast) {
    EXPECT_EQ(skip_missed_deadlines(Instant{100}, Instant{40}, nanoseconds{10}), Instant{100});
    EXPECT_EQ(skip_missed_deadlines(Instant{100}, Instant{100}, nanoseconds{10}), Instant{100});
}

TEST(SkipMissedDeadlines, MovesToTheFirstGridPointStrictlyAfterNow) {
    EXPECT_EQ(skip_missed_deadlines(Instant{100}, Instant{101}, nanoseconds{10}), Instant{110});
    EXPECT_EQ(skip_missed_deadlines(Instant{100}, Instant{110}, nanoseconds{10}), Instant{120});
    EXPECT_EQ(skip_missed_deadlines(Instant{100}, Instant{135}, nanoseconds{10}), Instant{140});
    const nanoseconds p = nanoseconds{std::int64_t{1} << 61};
    EXPECT_EQ(skip_missed_deadlines(Instant{5}, Instant{6}, p), Instant{5} + p);
}

TEST(PrecisionSleep, NeverReturnsBeforeTheTarget) {
    for (nanoseconds spin : {nanoseconds{0}, nanoseconds{800'000}, nanoseconds{3'000'000}}) {
        for (int i = 0; i < 20; ++i) {
            const Instant target = monotonic_now() + nanoseconds{200'000 + 37'000 * i};
            precision_sleep_until_sync(target, spin);
            EXPECT_GE(monotonic_now(), target);
        }
    }
}

class PrecisionSleepPrepare : public ::testing::TestWithParam<nanoseconds> {};

TEST_P(PrecisionSleepPrepare, PreparesOnceWithinTheLeadBeforeTheTarget) {
    for (nanoseconds ahead : {nanoseconds{5'000}, nanoseconds{2'000'000}, nanoseconds{4'000'000}}) {
        std::vector<Instant> prepares;
        const Instant target = monotonic_now() + ahead;
        precision_sleep_until_sync(target, GetParam(), [&] { prepares.push_back(monotonic_now()); });
        EXPECT_GE(monotonic_now(), target);
        ASSERT_LE(prepares.size(), 1u) << ahead.count();  // none only if the clock passed the target first
        if (!prepares.empty()) {
            EXPECT_GE(prepares[0], target - PREPARE_LEAD) << ahead.count();
        }
    }
    int calls = 0;
    precision_sleep_until_sync(monotonic_now() - milliseconds{1}, GetParam(), [&] { ++calls; });
    EXPECT_EQ(calls, 0);
}

INSTANTIATE_TEST_SUITE_P(SpinWindows, PrecisionSleepPrepare,
                         ::testing::Values(nanoseconds{0}, nanoseconds{800'000}, nanoseconds{3'000'000}));

TEST(PrecisionSleep, ReturnsAtOnceForAPastTarget) {
    const Instant before = monotonic_now();
    precision_sleep_until_sync(before - milliseconds{5}, nanoseconds{3'000'000});
    EXPECT_LT(monotonic_now() - before, milliseconds{50});
}

TEST(DedicatedLoop, FirstCallAtOnceThenOnTheGrid) {
    constexpr nanoseconds P = milliseconds{10};
    LoopFixture f(P, nanoseconds{800'000}, nullptr);
    f.loop.call = std::make_unique<RecordingCall>(&f.starts, LoopFixture::stop_after(&f, 5), &f.releases);
    const Instant before = monotonic_now();
    run_dedicated_loop(f.loop);
    ASSERT_EQ(f.starts.size(), 6u);
    EXPECT_EQ(f.loop.tick_count->load(), 6u);
    EXPECT_LT(f.starts[0] - before, milliseconds{50});  // generous: no period waited first
    for (std::size_t k = 1; k < f.starts.size(); ++k)
        EXPECT_GE(f.starts[k] - before, P * static_cast<std::int64_t>(k)) << k;  // never early
    EXPECT_EQ(f.releases, 1);
    // At most one prepare() after each call (the last one before the loop sees the stop), none
    // before the first call, each within the lead of the deadline that follows it.
    const auto& prepares = static_cast<RecordingCall&>(*f.loop.call).prepares;
    ASSERT_LE(prepares.size(), f.starts.size());
    std::size_t p = 0;
    for (std::size_t k = 1; k <= f.starts.size() && p < prepares.size(); ++k) {
        if (k < f.starts.size() && prepares[p] > f.starts[k]) continue;  // this pass had none
        EXPECT_GT(prepares[p], f.starts[k - 1]) << k;
        EXPECT_GE(prepares[p], before + P * static_cast<std::int64_t>(k) - PREPARE_LEAD) << k;
        ++p;
    }
    EXPECT_EQ(p, prepares.size());
}

TEST(DedicatedLoop, OverrunningCallSkipsMissedGridPoints) {
    constexpr nanoseconds P = milliseconds{20};
    LoopFixture f(P, nanoseconds{800'000}, nullptr);
    std::vector<Instant> ends;
    f.loop.call = std::make_unique<RecordingCall>(
        &f.starts,
        LoopFixture::stop_after(&f, 3,
                                [&](std::size_t k) {
                                    if (k == 1) sleep_monotonic(P * 5 / 2);  // lasts 2.5 periods
                                    ends.push_back(monotonic_now());
                                }),
        &f.releases);
    const Instant before = monotonic_now();
    run_dedicated_loop(f.loop);
    ASSERT_EQ(f.starts.size(), 4u);
    // Call 2 follows the overrun at once; the grid point 3P is skipped and call 3 waits for 4P.
    EXPECT_LT(f.starts[2] - ends[1], P / 2);
    EXPECT_GE(f.starts[3] - before, P * 4);
    EXPECT_EQ(f.loop.tick_count->load(), 4u);  // calls made, not deadlines passed
}

TEST(DedicatedLoop, StopDuringTheSleepPreventsAnyFurtherCall) {
    LoopFixture f(milliseconds{30}, nanoseconds{800'000}, nullptr);
    f.loop.call = std::make_unique<RecordingCall>(&f.starts, LoopFixture::stop_after(&f, 0), &f.releases);
    run_dedicated_loop(f.loop);
    EXPECT_EQ(f.starts.size(), 1u);
    EXPECT_FALSE(f.loop.running->load());
    EXPECT_EQ(f.releases, 1);
}

TEST(DedicatedLoop, ShutdownRequestedBeforeTheStartMeansNoCallAndClearsRunning) {
    LoopFixture f(milliseconds{1}, nanoseconds{800'000}, [](std::size_t) { return true; });
    f.registry.stop_all();
    run_dedicated_loop(f.loop);
    EXPECT_TRUE(f.starts.empty());
    EXPECT_EQ(f.loop.tick_count->load(), 0u);
    EXPECT_FALSE(f.loop.running->load());
    EXPECT_EQ(f.releases, 1);
}

TEST(DedicatedLoop, ShutdownRequestedWhileRunningEndsAfterTheCurrentSleep) {
    LoopFixture f(milliseconds{2}, nanoseconds{800'000}, nullptr);
    f.loop.call = std::make_unique<RecordingCall>(
        &f.starts,
        [&](std::size_t k) {
            if (k == 2) f.registry.stop_all();  // the registry does not know this flag
            return true;
        },
        &f.releases);
    run_dedicated_loop(f.loop);
    EXPECT_EQ(f.starts.size(), 3u);
    EXPECT_FALSE(f.loop.running->load());
}

TEST(DedicatedLoop, CallThatCanNoLongerRunEndsTheLoopWithoutCounting) {
    LoopFixture f(milliseconds{1}, nanoseconds{0}, [](std::size_t k) { return k < 2; });
    run_dedicated_loop(f.loop);
    EXPECT_EQ(f.starts.size(), 3u);
    EXPECT_EQ(f.loop.tick_count->load(), 2u);
    EXPECT_EQ(f.releases, 1);
    EXPECT_FALSE(f.loop.running->load());  // it will never call again: it shows stopped
}

struct ThreadTimerCase {
    TaskId id;
    TimerPrecision precision;
    const char* name;
};

class TimerThreadName : public ::testing::TestWithParam<ThreadTimerCase> {};

TEST_P(TimerThreadName, IsCutToFifteenBytes) {
    EXPECT_EQ(timer_thread_name(GetParam().id, GetParam().precision), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Names, TimerThreadName,
                         ::testing::Values(ThreadTimerCase{7, TimerPrecision::High, "timer-7-High"},
                                           ThreadTimerCase{12, TimerPrecision::High, "timer-12-High"},
                                           ThreadTimerCase{7, TimerPrecision::Realtime, "timer-7-Realtim"},
                                           ThreadTimerCase{12, TimerPrecision::Realtime, "timer-12-Realti"},
                                           ThreadTimerCase{123456, TimerPrecision::High, "timer-123456-Hi"}));

// What the spawned thread saw of itself, handed over with a condition variable.
struct SeenByThread {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::string comm;
    int slack = -1;
    int releases = 0;
};

struct IntrospectingCall : TimerCall {
    SeenByThread* seen;
    explicit IntrospectingCall(SeenByThread* s) : seen(s) {}
    bool call() override {
        std::ifstream in("/proc/self/task/" + std::to_string(::gettid()) + "/comm");
        std::string comm;
        std::getline(in, comm);
        std::lock_guard lock(seen->m);
        seen->comm = comm;
        seen->slack = ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        return false;  // one call, then end
    }
    void release() override {
        std::lock_guard lock(seen->m);
        ++seen->releases;
        seen->done = true;
        seen->cv.notify_all();
    }
};

TEST(SpawnDedicatedTimer, ThreadCarriesItsNameAndOneNanosecondSlack) {
    SeenByThread seen;
    TaskManager registry;
    auto loop = std::make_unique<DedicatedLoop>();
    loop->running = std::make_shared<std::atomic<bool>>(true);
    loop->tick_count = std::make_shared<std::atomic<std::uint64_t>>(0);
    loop->call = std::make_unique<IntrospectingCall>(&seen);
    loop->period = milliseconds{1};
    loop->spin_window = nanoseconds{800'000};
    loop->registry = &registry;
    auto thread = spawn_dedicated_timer(timer_thread_name(12, TimerPrecision::Realtime), std::move(loop));
    ASSERT_TRUE(thread.ok());
    std::unique_lock lock(seen.m);
    ASSERT_TRUE(seen.cv.wait_for(lock, std::chrono::seconds{10}, [&] { return seen.done; }));
    EXPECT_EQ(seen.comm, "timer-12-Realti");
    EXPECT_EQ(seen.slack, 1);
    EXPECT_EQ(seen.releases, 1);
}

}  // namespace
}  // namespace quorix
