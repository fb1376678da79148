#include "runtime/select.hpp"

#include <gtest/gtest.h>

#include <string>

#include "runtime/mpsc.hpp"
#include "runtime/reactor.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"
#include "runtime_test_util.hpp"

namespace quorix::rt {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::SetOnDestroy;

TEST(RtSelect, BothReadyGivesEitherSide) {
    Runtime rt(RuntimeConfig{.workers = 1});
    auto [tx1, rx1] = mpsc::channel<int>();
    auto [tx2, rx2] = mpsc::channel<int>();
    int wins[2] = {0, 0};
    auto body = [&]() -> Task<void> {
        for (int i = 0; i < 64; ++i) {
            tx1.send(1);
            tx2.send(2);
            auto r = co_await select(rx1.recv(), rx2.recv());
            ++wins[r.index()];
            // The loser's message is still queued: nothing was consumed by it.
            EXPECT_EQ(r.index() == 0 ? rx2.try_recv() : rx1.try_recv(), r.index() == 0 ? 2 : 1);
        }
    };
    rt.block_on(body());
    EXPECT_GT(wins[0], 0);
    EXPECT_GT(wins[1], 0);
}

TEST(RtSelect, ALosingTaskBranchIsDestroyedAndItsTimerRemoved) {
    Runtime rt(RuntimeConfig{.workers = 1});
    std::atomic<bool> unwound{false};
    auto slow = [&]() -> Task<std::string> {
        SetOnDestroy guard{&unwound};
        co_await sleep(1h);
        co_return "slow";
    };
    auto fast = []() -> Task<int> {
        co_await sleep(1ms);
        co_await yield_now();
        co_return 5;
    };
    auto body = [&]() -> Task<int> {
        auto r = co_await select(slow(), fast());
        co_return std::get<1>(r);
    };
    EXPECT_EQ(rt.block_on(body()), 5);
    EXPECT_TRUE(unwound.load());
    EXPECT_EQ(rt.reactor().pending_timers(), 0u);
}

TEST(RtSelect, NestedSelectsAndJoinHandles) {
    Runtime rt(RuntimeConfig{.workers = 1});
    auto value = []() -> Task<int> {
        co_await sleep(2ms);
        co_return 9;
    };
    auto h = rt.spawn(value());
    auto body = [&]() -> Task<int> {
        auto r = co_await select(select(sleep(1h), sleep(2h)), h);
        co_return std::get<1>(r);
    };
    EXPECT_EQ(rt.block_on(body()), 9);
    EXPECT_EQ(rt.reactor().pending_timers(), 0u);
}

TEST(RtSelect, AnExceptionOfTheWinnerPropagates) {
    Runtime rt(RuntimeConfig{.workers = 1});
    auto bad = []() -> Task<void> {
        co_await yield_now();
        throw std::logic_error("bad branch");
    };
    auto body = [&]() -> Task<void> { co_await select(bad(), sleep(1h)); };
    EXPECT_THROW(rt.block_on(body()), std::logic_error);
}

TEST(RtWithDeadline, TimesOutOrGivesTheValue) {
    Runtime rt(RuntimeConfig{.workers = 1});
    auto [tx, rx] = mpsc::channel<int>();
    auto body = [&]() -> Task<std::string> {
        std::string out;
        auto none = co_await with_timeout(rx.recv(), 2ms);
        out += none ? "value " : "timeout ";
        tx.send(3);
        // Already past its deadline, but the message is ready: the value wins.
        auto some = co_await with_deadline(rx.recv(), now() - 1s);
        out += some && *some == 3 ? "3 " : "lost ";
        auto never = co_await with_deadline(sleep(1ms), NEVER);
        out += never ? "slept" : "timed out";
        co_return out;
    };
    EXPECT_EQ(rt.block_on(body()), "timeout 3 slept");
    EXPECT_EQ(rt.reactor().pending_timers(), 0u);
}

TEST(RtWithDeadline, AbortWhileWaitingRemovesBothRegistrations) {
    Runtime rt(RuntimeConfig{.workers = 1});
    auto [tx, rx] = mpsc::channel<int>();
    auto body = [&]() -> Task<void> { co_await with_timeout(rx.recv(), 1h); };
    auto h = rt.spawn(body());
    ASSERT_TRUE(eventually([&] { return rt.reactor().pending_timers() == 1; }));
    h.abort();
    ASSERT_TRUE(eventually([&] { return h.is_finished(); }));
    EXPECT_THROW(h.take_result(), TaskCancelled);
    EXPECT_EQ(rt.reactor().pending_timers(), 0u);
    EXPECT_TRUE(tx.send(1));
    EXPECT_EQ(rx.try_recv(), 1);
}

}  // namespace
}  // namespace quorix::rt
