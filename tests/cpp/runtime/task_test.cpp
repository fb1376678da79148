#include "runtime/task.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "runtime/block_on.hpp"
#include "runtime/mpsc.hpp"
#include "runtime/reactor.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"
#include "runtime_test_util.hpp"

namespace quorix::rt {
namespace {

using namespace std::chrono_literals;
using testing::Counted;
using testing::Event;
using testing::eventually;
using testing::SetOnDestroy;

Task<int> add_later(Runtime& rt, int a, int b) {
    co_await yield_now();
    (void)rt;
    co_return a + b;
}

Task<int> fail_with(std::string text) {
    co_await yield_now();
    throw std::runtime_error(text);
}

template <class T>
Task<T> join(JoinHandle<T> h) {
    co_return co_await h;
}

TEST(RtTask, SpawnedValueAndExceptionReachTheJoiner) {
    Runtime rt(RuntimeConfig{.workers = 2});
    EXPECT_EQ(rt.block_on(join(rt.spawn(add_later(rt, 2, 3)))), 5);
    try {
        rt.block_on(join(rt.spawn(fail_with("boom"))));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "boom");
    }
}

Task<int> chain(int depth) {
    if (depth == 0) co_return 0;
    co_return 1 + co_await chain(depth - 1);
}

TEST(RtTask, NestedTasksRunInlineAndPropagateExceptions) {
    Runtime rt(RuntimeConfig{.workers = 1});
    EXPECT_EQ(rt.block_on(chain(500)), 500);
    auto many = []() -> Task<long> {
        long sum = 0;
        for (int i = 0; i < 200000; ++i) sum += co_await chain(1);  // no stack growth per await
        co_return sum;
    };
    EXPECT_EQ(rt.block_on(many()), 200000);
    auto outer = []() -> Task<std::string> {
        try {
            co_await fail_with("inner");
        } catch (const std::runtime_error& e) {
            co_return std::string("caught ") + e.what();
        }
        co_return "not thrown";
    };
    EXPECT_EQ(rt.block_on(outer()), "caught inner");
}

TEST(RtTask, BlockOnRunsTheTaskOnTheCallingThread) {
    Runtime rt(RuntimeConfig{.workers = 1});
    const auto caller = std::this_thread::get_id();
    auto body = [&]() -> Task<bool> {
        const bool before = std::this_thread::get_id() == caller;
        co_await sleep(1ms);  // the wake-up comes from the reactor thread
        co_return before&& std::this_thread::get_id() == caller;
    };
    EXPECT_TRUE(rt.block_on(body()));
}

TEST(RtTask, BlockOnRefusesAWorkerThreadButRunBlockingWorks) {
    Runtime rt(RuntimeConfig{.workers = 1});
    auto inner = []() -> Task<int> {
        co_await sleep(1ms);
        co_return 7;
    };
    auto on_worker = [&]() -> Task<std::string> {
        std::string out;
        try {
            rt.block_on(inner());
            out = "ran";
        } catch (const Panic& e) {
            out = e.what();
        }
        out += on_worker_thread() ? " seated" : " unseated";
        out += " " + std::to_string(rt.run_blocking(inner()));
        co_return out;
    };
    EXPECT_EQ(rt.block_on(join(rt.spawn(on_worker()))),
              "Cannot block on the runtime from one of its worker threads (use run_blocking) seated 7");
}

TEST(RtTask, AbortBeforeStartNeverRunsTheBody) {
    Runtime rt(RuntimeConfig{.workers = 1});
    Event busy, release;
    auto occupy = [&]() -> Task<void> {
        busy.set();
        release.wait();  // holds the only worker on purpose
        co_return;
    };
    auto h1 = rt.spawn(occupy());
    ASSERT_TRUE(busy.wait());
    std::atomic<bool> ran{false};
    auto never = [&](Counted) -> Task<void> {
        ran = true;
        co_return;
    };
    auto h2 = rt.spawn(never(Counted(1)));
    EXPECT_EQ(Counted::live.load(), 1);
    h2.abort();
    release.set();
    ASSERT_TRUE(eventually([&] { return h2.is_finished(); }));
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(Counted::live.load(), 0);  // the frame, with its parameter, is gone
    EXPECT_THROW(h2.take_result(), TaskCancelled);
    ASSERT_TRUE(eventually([&] { return h1.is_finished(); }));
}

TEST(RtTask, AbortWhileSleepingUnwindsAndDeregisters) {
    Runtime rt(RuntimeConfig{.workers = 1});
    std::atomic<bool> unwound{false};
    auto body = [&]() -> Task<void> {
        SetOnDestroy guard{&unwound};
        co_await sleep(1h);
    };
    auto h = rt.spawn(body());
    ASSERT_TRUE(eventually([&] { return rt.reactor().pending_timers() == 1; }));
    h.abort();
    ASSERT_TRUE(eventually([&] { return h.is_finished(); }));
    EXPECT_TRUE(unwound.load());
    EXPECT_EQ(rt.reactor().pending_timers(), 0u);
    EXPECT_THROW(h.take_result(), TaskCancelled);
}

TEST(RtTask, AnAbortedJoinLeavesTheJoinedTaskRunning) {
    Runtime rt(RuntimeConfig{.workers = 1});
    auto [tx, rx] = mpsc::channel<int>();
    auto target = [](mpsc::Receiver<int> rx) -> Task<int> { co_return (co_await rx.recv()).value_or(-1); };
    auto joined = rt.spawn(target(std::move(rx)));
    auto joiner = [](JoinHandle<int>& h) -> Task<int> { co_return co_await h; };
    auto waiting = rt.spawn(joiner(joined));
    ASSERT_TRUE(eventually([&] { return !waiting.is_finished(); }));
    waiting.abort();
    ASSERT_TRUE(eventually([&] { return waiting.is_finished(); }));
    EXPECT_THROW(waiting.take_result(), TaskCancelled);
    EXPECT_FALSE(joined.is_finished());
    tx.send(8);
    EXPECT_EQ(rt.block_on(joiner(joined)), 8);
}

TEST(RtTask, CancellationIsStickyAtLaterAwaitPoints) {
    Runtime rt(RuntimeConfig{.workers = 1});
    auto body = []() -> Task<int> {
        int caught = 0;
        for (int i = 0; i < 3; ++i) {
            try {
                co_await sleep(1h);
            } catch (const TaskCancelled&) {
                ++caught;
            }
        }
        co_return caught;
    };
    auto h = rt.spawn(body());
    ASSERT_TRUE(eventually([&] { return rt.reactor().pending_timers() == 1; }));
    h.abort();
    ASSERT_TRUE(eventually([&] { return h.is_finished(); }));
    EXPECT_EQ(h.take_result(), 3);  // the body chose to return: its value is the outcome
}

// A leaf that, while the task is still running its poll, lets the test wake the task.
struct RacyLeaf : PollAwaiter<RacyLeaf> {
    RacyLeaf(Event* r, Event* w, Waker* s, std::atomic<bool>* rd)
        : registered(r), woken(w), slot(s), ready(rd) {}
    Event* registered;
    Event* woken;
    Waker* slot;
    std::atomic<bool>* ready;
    bool poll(detail::PollContext& cx) {
        if (ready->load()) return true;
        *slot = Waker(cx.task);
        registered->set();
        woken->wait();  // the wake lands here, while the task is RUNNING
        return false;
    }
    void take() {}
};

TEST(RtTask, AWakeDuringThePollRunsTheTaskAgain) {
    Runtime rt(RuntimeConfig{.workers = 1});
    Event registered, woken;
    Waker slot;
    std::atomic<bool> ready{false};
    auto body = [&]() -> Task<int> {
        co_await RacyLeaf(&registered, &woken, &slot, &ready);
        co_return 1;
    };
    auto h = rt.spawn(body());
    ASSERT_TRUE(registered.wait());
    EXPECT_TRUE(h.valid());
    ready = true;
    slot.wake();
    woken.set();
    ASSERT_TRUE(eventually([&] { return h.is_finished(); }));
    EXPECT_EQ(h.take_result(), 1);
}

TEST(RtTask, DroppingTheHandleDetaches) {
    Runtime rt(RuntimeConfig{.workers = 1});
    Event done;
    auto body = [&](Counted) -> Task<void> {
        co_await sleep(1ms);
        done.set();
    };
    rt.spawn(body(Counted(5))).detach();
    ASSERT_TRUE(done.wait());
    EXPECT_TRUE(eventually([] { return Counted::live.load() == 0; }));
}

TEST(RtTask, YieldLetsOtherTasksRunOnOneWorker) {
    Runtime rt(RuntimeConfig{.workers = 1});
    std::mutex mu;
    std::vector<char> order;
    auto body = [&](char c) -> Task<void> {
        for (int i = 0; i < 3; ++i) {
            {
                std::lock_guard lock(mu);
                order.push_back(c);
            }
            co_await yield_now();
        }
    };
    Event go, started;
    auto gate = [&]() -> Task<void> {
        started.set();
        go.wait();
        co_return;
    };
    auto g = rt.spawn(gate());
    ASSERT_TRUE(started.wait());
    auto a = rt.spawn(body('a'));
    auto b = rt.spawn(body('b'));
    go.set();
    ASSERT_TRUE(eventually([&] { return a.is_finished() && b.is_finished(); }));
    EXPECT_EQ(std::string(order.begin(), order.end()), "ababab");
}

TEST(RtTask, AForcedUnwindPassesThroughATask) {
    std::atomic<bool> unwound{false};
    std::atomic<bool> after{false};
    auto body = [&]() -> Task<void> {
        SetOnDestroy guard{&unwound};
        co_await yield_now();
        pthread_exit(nullptr);  // what an interpreter at exit does to a foreign thread
    };
    Runtime rt(RuntimeConfig{.workers = 1});
    std::thread t([&] {
        rt.block_on(body());
        after = true;
    });
    t.join();
    EXPECT_TRUE(unwound.load());
    EXPECT_FALSE(after.load());
}

TEST(RtTask, AwaitingOutsideATaskIsAPanic) {
    auto s = sleep(1ms);
    EXPECT_THROW(s.await_suspend(std::noop_coroutine()), Panic);
}

}  // namespace
}  // namespace quorix::rt
