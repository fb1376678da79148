#include "runtime/async_mutex.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "runtime/reactor.hpp"
#include "runtime/runtime.hpp"
#include "runtime/select.hpp"
#include "runtime/time.hpp"
#include "runtime_test_util.hpp"

namespace quorix::rt {
namespace {

using namespace std::chrono_literals;
using testing::Event;
using testing::eventually;

TEST(RtAsyncMutex, WaitersGetTheLockInArrivalOrder) {
    Runtime rt(RuntimeConfig{.workers = 1});
    AsyncMutex m;
    auto held = m.try_lock();
    ASSERT_TRUE(held);
    EXPECT_FALSE(m.try_lock());
    std::mutex mu;
    std::vector<int> order;
    std::atomic<int> queued{0};
    auto waiter = [&](int i) -> Task<void> {
        auto lock = m.lock();
        ++queued;
        auto g = co_await std::move(lock);
        std::lock_guard l(mu);
        order.push_back(i);
    };
    std::vector<JoinHandle<void>> hs;
    for (int i = 0; i < 5; ++i) {
        hs.push_back(rt.spawn(waiter(i)));
        // One worker: each waiter is queued before the next one starts.
        ASSERT_TRUE(eventually([&] { return queued.load() == i + 1 && !hs.back().is_finished(); }));
    }
    held->unlock();
    ASSERT_TRUE(eventually([&] {
        for (auto& h : hs)
            if (!h.is_finished()) return false;
        return true;
    }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_FALSE(m.is_locked());
}

TEST(RtAsyncMutex, AbortReleasesAHeldGuardAndRemovesAWaiter) {
    Runtime rt(RuntimeConfig{.workers = 1});
    AsyncMutex m;
    auto hold_forever = [&]() -> Task<void> {
        auto g = co_await m.lock();
        co_await sleep(1h);
    };
    auto holder = rt.spawn(hold_forever());
    ASSERT_TRUE(eventually([&] { return m.is_locked(); }));
    auto wait_lock = [&]() -> Task<void> { auto g = co_await m.lock(); };
    auto waiter = rt.spawn(wait_lock());
    auto third = rt.spawn(wait_lock());
    ASSERT_TRUE(eventually([&] { return rt.reactor().pending_timers() == 1; }));
    waiter.abort();  // leaves the queue
    ASSERT_TRUE(eventually([&] { return waiter.is_finished(); }));
    EXPECT_THROW(waiter.take_result(), TaskCancelled);
    holder.abort();  // unwinds the guard: the lock goes to `third`
    ASSERT_TRUE(eventually([&] { return holder.is_finished() && third.is_finished(); }));
    third.take_result();
    EXPECT_FALSE(m.is_locked());
}

TEST(RtAsyncMutex, ALockHandedToALosingBranchIsPassedOn) {
    // Both branches of the select are ready when it is polled: the lock was handed to the
    // mutex branch and the sleep has expired. Whichever wins, the lock must end up free,
    // and over the rounds both must win sometimes (fresh random order at every poll).
    Runtime rt(RuntimeConfig{.workers = 1});
    AsyncMutex m;
    int wins[2] = {0, 0};
    for (int round = 0; round < 24; ++round) {
        auto guard = m.try_lock();
        ASSERT_TRUE(guard);
        const Instant deadline = now() + 20ms;
        auto race = [&]() -> Task<int> {
            auto r = co_await select(m.lock(), sleep_until(deadline));
            co_return static_cast<int>(r.index());
        };
        auto h = rt.spawn(race());
        ASSERT_TRUE(eventually([&] { return rt.reactor().pending_timers() == 1; }));
        Event busy, release;
        auto occupy = [&]() -> Task<void> {
            busy.set();
            release.wait();  // keeps the only worker until both branches are ready
            co_return;
        };
        auto o = rt.spawn(occupy());
        ASSERT_TRUE(busy.wait());
        guard->unlock();
        ASSERT_TRUE(eventually([&] { return rt.reactor().pending_timers() == 0 && now() > deadline; }));
        release.set();
        ASSERT_TRUE(eventually([&] { return h.is_finished() && o.is_finished(); }));
        ++wins[h.take_result()];
        EXPECT_FALSE(m.is_locked());
    }
    EXPECT_GT(wins[0], 0);
    EXPECT_GT(wins[1], 0);
}

}  // namespace
}  // namespace quorix::rt
