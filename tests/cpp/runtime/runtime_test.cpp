#include "runtime/runtime.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "runtime/block_on.hpp"
#include "base/fork.hpp"
#include "runtime/mpsc.hpp"
#include "runtime/time.hpp"
#include "runtime_test_util.hpp"

namespace quorix::rt {
namespace {

using namespace std::chrono_literals;
using testing::Event;
using testing::eventually;

template <class T>
Task<T> join_handle_value(JoinHandle<T> h) {
    co_return co_await h;
}

struct CpuMaxCase {
    const char* text;
    std::optional<unsigned> cpus;
};

class RtCpuMax : public ::testing::TestWithParam<CpuMaxCase> {};

TEST_P(RtCpuMax, Parses) { EXPECT_EQ(cpu_max_limit(GetParam().text), GetParam().cpus) << GetParam().text; }

INSTANTIATE_TEST_SUITE_P(Cases, RtCpuMax,
                         ::testing::Values(CpuMaxCase{"max 100000\n", std::nullopt},
                                           CpuMaxCase{"100000 100000\n", 1u}, CpuMaxCase{"150000 100000", 2u},
                                           CpuMaxCase{"200000 100000\n", 2u}, CpuMaxCase{"1000 100000", 1u},
                                           CpuMaxCase{"0 100000", 1u}, CpuMaxCase{"", std::nullopt},
                                           CpuMaxCase{"100000", std::nullopt},
                                           CpuMaxCase{"100000 0", std::nullopt},
                                           CpuMaxCase{"-1 100000", std::nullopt}));

TEST(RtRuntime, WorkerCountFollowsTheAffinityMask) {
    const unsigned all = default_worker_count();
    EXPECT_GE(all, 1u);
    EXPECT_LE(all, std::thread::hardware_concurrency());
    unsigned confined = 0, runtime_workers = 0;
    std::thread t([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        confined = default_worker_count();
        Runtime rt;  // the default: one worker per CPU this thread may use
        runtime_workers = rt.worker_count();
    });
    t.join();
    EXPECT_EQ(confined, 1u);
    EXPECT_EQ(runtime_workers, 1u);
}

std::atomic<int> CREATIONS{0};

// A child forked after the runtime started has none of its threads: it is refused the
// runtime with the fixed text, and the parent goes on using it.
TEST(RtFork, AChildForkedAfterTheStartIsRefusedTheRuntime) {
    (void)runtime();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int code = 1;
        try {
            (void)runtime();
        } catch (const ForkedAfterStart& e) {
            code = e.what() == FORKED_AFTER_START_TEXT ? 0 : 2;
        } catch (...) {
            code = 3;
        }
        ::_exit(forked_after_runtime_start() ? code : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(forked_after_runtime_start());
    EXPECT_EQ(block_on_runtime([]() -> Task<int> { co_return 5; }()), 5);
}

TEST(RtRuntime, ConcurrentFirstAccessCreatesOneRuntime) {
    RuntimeCell cell([]() -> Runtime* {
        ++CREATIONS;
        std::this_thread::sleep_for(5ms);  // widen the window for the racing callers
        return new Runtime(RuntimeConfig{.workers = 1});
    });
    std::vector<std::thread> threads;
    std::vector<Runtime*> seen(8);
    for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { seen[i] = &cell.get(); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(CREATIONS.load(), 1);
    for (Runtime* r : seen) EXPECT_EQ(r, seen[0]);
    delete seen[0];
}

TEST(RtRuntime, AFailedCreationIsNeverRetried) {
    RuntimeCell cell([]() -> Runtime* {
        ++CREATIONS;
        throw Panic("Failed to create the runtime: Resource temporarily unavailable (os error 11)");
    });
    CREATIONS = 0;
    try {
        cell.get();
        FAIL();
    } catch (const Panic& e) {
        EXPECT_STREQ(e.what(),
                     "Failed to create the runtime: Resource temporarily unavailable (os error 11)");
    }
    for (int i = 0; i < 2; ++i) {
        try {
            cell.get();
            FAIL();
        } catch (const Panic& e) {
            EXPECT_STREQ(e.what(), "The runtime's earlier initialisation failed");
        }
    }
    EXPECT_EQ(CREATIONS.load(), 1);
}

TEST(RtRuntime, TheSharedRuntimeIsOneAndStays) {
    Runtime* first = &runtime();
    std::thread t([&] { EXPECT_EQ(&runtime(), first); });
    t.join();
    EXPECT_EQ(first->worker_count(), default_worker_count());
    EXPECT_FALSE(on_worker_thread());
}

TEST(RtRuntime, BlockingJobsRunOffTheWorkersAndIdleThreadsLeave) {
    Runtime rt(RuntimeConfig{.workers = 1, .keep_alive = 50ms});
    auto body = [&]() -> Task<std::string> {
        auto on_worker = co_await rt.spawn_blocking([] { return on_worker_thread(); });
        std::string out = on_worker ? "worker " : "pool ";
        try {
            co_await rt.spawn_blocking([]() -> int { throw std::runtime_error("job failed"); });
        } catch (const std::runtime_error& e) {
            out += e.what();
        }
        co_return out;
    };
    EXPECT_EQ(rt.block_on(body()), "pool job failed");
    EXPECT_TRUE(eventually([&] { return rt.blocking_thread_count() == 0; }));
}

TEST(RtRuntime, ConcurrentBlockingJobsGetThreadsOfTheirOwn) {
    Runtime rt(RuntimeConfig{.workers = 1, .keep_alive = 50ms});
    constexpr int JOBS = 6;
    std::atomic<int> inside{0};
    Event all_inside;
    std::vector<JoinHandle<void>> hs;
    for (int i = 0; i < JOBS; ++i) {
        hs.push_back(rt.spawn_blocking([&] {
            if (++inside == JOBS) all_inside.set();
            all_inside.wait();  // deadlocks unless every job has a thread at once
        }));
    }
    EXPECT_TRUE(all_inside.wait());
    EXPECT_TRUE(eventually([&] {
        for (auto& h : hs)
            if (!h.is_finished()) return false;
        return true;
    }));
}

TEST(RtRuntime, RunBlockingOnTheOnlyWorkerKeepsOtherTasksRunning) {
    Runtime rt(RuntimeConfig{.workers = 1, .keep_alive = 50ms});
    auto [tx, rx] = mpsc::channel<int>();
    // B runs only if A's worker seat was handed over: A blocks its thread until B sends.
    auto b = [](mpsc::Sender<int> tx) -> Task<void> {
        co_await sleep(1ms);
        tx.send(42);
    };
    auto receive = [&]() -> Task<int> { co_return (co_await rx.recv()).value_or(-1); };
    auto a = [&]() -> Task<int> {
        rt.spawn(b(std::move(tx))).detach();
        co_return rt.run_blocking(receive());
    };
    EXPECT_EQ(rt.block_on(join_handle_value(rt.spawn(a()))), 42);
    // The thread that gave its seat away waits as a spare, then leaves: one worker again.
    EXPECT_TRUE(eventually([&] { return rt.worker_thread_count() == 1; }));
}

TEST(RtRuntime, ABlockingSectionHandsTheSeatOver) {
    Runtime rt(RuntimeConfig{.workers = 1, .keep_alive = 50ms});
    Event other_ran;
    auto other = [&]() -> Task<void> {
        other_ran.set();
        co_return;
    };
    auto a = [&]() -> Task<bool> {
        auto h = rt.spawn(other());
        const bool seated_before = on_worker_thread();
        const bool ran = block_in_place([&] { return other_ran.wait(); });  // e.g. waiting for the GIL
        co_await yield_now();
        co_return seated_before&& ran;
    };
    EXPECT_TRUE(rt.block_on(join_handle_value(rt.spawn(a()))));
    EXPECT_TRUE(eventually([&] { return rt.worker_thread_count() == 1; }));
}

TEST(RtRuntime, TheBlockingPoolRunsAtMostItsBoundAtOnceAndTheRestInOrder) {
    Runtime rt(RuntimeConfig{.workers = 1, .max_blocking_threads = 2, .keep_alive = 50ms});
    constexpr int JOBS = 12;
    std::mutex mu;
    std::vector<int> started;  // guarded by mu
    int inside = 0, peak = 0;  // guarded by mu
    // Job 0 holds one of the two threads until the end, so the other one alone takes the
    // queue: the order it starts them in is the queue's order, not a race between threads.
    Event release_first, gate;
    std::vector<JoinHandle<void>> hs;
    for (int i = 0; i < JOBS; ++i) {
        hs.push_back(rt.spawn_blocking([&, i] {
            {
                std::lock_guard lock(mu);
                started.push_back(i);
                peak = std::max(peak, ++inside);
            }
            (i == 0 ? release_first : gate).wait();
            std::lock_guard lock(mu);
            --inside;
        }));
    }
    EXPECT_TRUE(eventually([&] {
        std::lock_guard lock(mu);
        return inside == 2;
    }));
    EXPECT_EQ(rt.blocking_thread_count(), 2u);
    gate.set();
    EXPECT_TRUE(eventually([&] {
        for (std::size_t i = 1; i < hs.size(); ++i)
            if (!hs[i].is_finished()) return false;
        return true;
    }));
    release_first.set();
    EXPECT_TRUE(eventually([&] { return hs[0].is_finished(); }));
    std::lock_guard lock(mu);
    EXPECT_EQ(peak, 2);
    // The first two start together; the rest in the order they were submitted.
    ASSERT_EQ(started.size(), static_cast<std::size_t>(JOBS));
    for (int i = 2; i < JOBS; ++i) EXPECT_EQ(started[i], i);
}

enum class WaitBy { RunBlocking, BlockingSection };

class RtPoolWait : public ::testing::TestWithParam<WaitBy> {};

TEST_P(RtPoolWait, AJobWaitingForAJobQueuedBehindItGivesItsPlaceAway) {
    // One pool thread: the job queued behind the waiting one runs only if the waiter stops
    // counting towards the bound while it waits.
    Runtime rt(RuntimeConfig{.workers = 1, .max_blocking_threads = 1, .keep_alive = 50ms});
    const WaitBy by = GetParam();
    auto outer = rt.spawn_blocking([&rt, by] {
        Event inner_ran;
        JoinHandle<int> inner = rt.spawn_blocking([&] {
            inner_ran.set();
            return 7;
        });
        if (by == WaitBy::RunBlocking) return rt.run_blocking(join_handle_value(std::move(inner)));
        const bool ran = block_in_place([&] { return inner_ran.wait(); });
        return ran ? 7 : -1;
    });
    EXPECT_EQ(rt.block_on(join_handle_value(std::move(outer))), 7);
    // The waiter's thread leaves once its job is done and the pool is full again.
    EXPECT_TRUE(eventually([&] { return rt.blocking_thread_count() <= 1; }));
    EXPECT_TRUE(eventually([&] { return rt.blocking_thread_count() == 0; }));
}

INSTANTIATE_TEST_SUITE_P(Both, RtPoolWait, ::testing::Values(WaitBy::RunBlocking, WaitBy::BlockingSection));

}  // namespace
}  // namespace quorix::rt
