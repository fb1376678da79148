#include "core/manager/task_registry.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

namespace quorix {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

RunningFlag flag(bool running) { return std::make_shared<std::atomic<bool>>(running); }

// Registers an entry and hands back its flag, so the test can flip it as the work would.
RunningFlag add(TaskManager& tm, TaskKind kind, bool running = true) {
    RunningFlag f = flag(running);
    tm.register_task(tm.next_task_id(), f, nullptr, kind);
    return f;
}

// A monotonic clock that moves only when wait_all sleeps; optional hook runs at each sleep.
struct FakeClock {
    nanoseconds now{0};
    nanoseconds step_override{0};  // if non-zero, each sleep advances by this instead
    int sleeps = 0;
    std::function<void(int)> on_sleep;

    auto now_fn() {
        return [this] { return now; };
    }
    auto sleep_fn() {
        return [this](nanoseconds d) {
            now += step_override.count() ? step_override : d;
            ++sleeps;
            if (on_sleep) on_sleep(sleeps);
        };
    }
};

// ---- ids -------------------------------------------------------------------------------

TEST(TaskIds, FreshManagerStartsAtOneAndCountsUp) {
    TaskManager tm;
    EXPECT_EQ(tm.next_task_id(), 1u);
    EXPECT_EQ(tm.next_task_id(), 2u);
    EXPECT_EQ(tm.next_task_id(), 3u);
}

TEST(TaskIds, ConcurrentAllocationNeverRepeats) {
    TaskManager tm;
    constexpr int THREADS = 4, PER_THREAD = 20000;
    std::vector<std::vector<TaskId>> got(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < PER_THREAD; ++i) got[t].push_back(tm.next_task_id());
        });
    for (auto& th : threads) th.join();
    std::vector<TaskId> all;
    for (auto& v : got) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), std::size_t{THREADS * PER_THREAD});
    for (std::size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], i + 1);
}

TEST(TaskIds, ProcessRegistryIsOneInstanceWithIncreasingIds) {
    EXPECT_EQ(&task_manager(), &task_manager());
    const TaskId a = next_task_id();
    const TaskId b = task_manager().next_task_id();
    EXPECT_GE(a, 1u);
    EXPECT_EQ(b, a + 1);
}

// The process's registry across fork(), while another thread keeps taking its lock: the
// child finds the inherited entry stopped (its work is not there) and a registry it can
// lock and change; the parent's entry runs on. A child that deadlocks is killed after a
// generous limit and fails the test.
TEST(TaskFork, ChildSeesInheritedWorkStoppedAndAUsableRegistry) {
    TaskManager& tm = task_manager();
    const TaskId id = tm.next_task_id();
    auto flag = std::make_shared<std::atomic<bool>>(true);
    tm.register_task(id, flag, nullptr, TaskKind::Timer);
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop.load()) (void)tm.status_summary();
    });
    const pid_t pid = ::fork();
    if (pid == 0) {
        const bool stopped = !flag->load() && tm.running_count() == 0;
        tm.register_task(id + 1000000, std::make_shared<std::atomic<bool>>(true), nullptr,
                         TaskKind::AsyncTask);
        const bool usable = tm.async_task_count() == 1;
        tm.cleanup();
        ::_exit(stopped && usable && tm.total_count() == 1 ? 0 : 1);
    }
    stop.store(true);
    busy.join();
    ASSERT_GT(pid, 0);
    int status = -1;
    for (int i = 0; i < 20'000 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (status == -1) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(flag->load());
    tm.unregister(id);
}

// ---- counting ----------------------------------------------------------------------------

TEST(TaskCounts, EmptyRegistryIsAllZero) {
    TaskManager tm;
    EXPECT_EQ(tm.running_count(), 0u);
    EXPECT_EQ(tm.timer_count(), 0u);
    EXPECT_EQ(tm.async_task_count(), 0u);
    EXPECT_EQ(tm.total_count(), 0u);
    EXPECT_EQ(tm.status_summary(), (StatusSummary{0, 0, 0, 0}));
    EXPECT_FALSE(tm.is_shutdown_requested());
}

struct CountRow {
    int timers_running, timers_stopped, tasks_running, tasks_stopped;
};

class TaskCountTest : public ::testing::TestWithParam<CountRow> {};

TEST_P(TaskCountTest, CountsByKindAndFlag) {
    const CountRow r = GetParam();
    TaskManager tm;
    for (int i = 0; i < r.timers_running; ++i) add(tm, TaskKind::Timer);
    for (int i = 0; i < r.timers_stopped; ++i) add(tm, TaskKind::Timer, false);
    for (int i = 0; i < r.tasks_running; ++i) add(tm, TaskKind::AsyncTask);
    for (int i = 0; i < r.tasks_stopped; ++i) add(tm, TaskKind::AsyncTask, false);
    const std::size_t total = r.timers_running + r.timers_stopped + r.tasks_running + r.tasks_stopped;
    EXPECT_EQ(tm.timer_count(), std::size_t(r.timers_running));
    EXPECT_EQ(tm.async_task_count(), std::size_t(r.tasks_running));
    EXPECT_EQ(tm.running_count(), std::size_t(r.timers_running + r.tasks_running));
    EXPECT_EQ(tm.total_count(), total);
    const StatusSummary s = tm.status_summary();
    EXPECT_EQ(s, (StatusSummary{std::size_t(r.timers_running), std::size_t(r.tasks_running),
                                std::size_t(r.timers_stopped + r.tasks_stopped), total}));
}

INSTANTIATE_TEST_SUITE_P(Mixes, TaskCountTest,
                         ::testing::Values(CountRow{1, 0, 0, 0}, CountRow{0, 0, 1, 0}, CountRow{0, 1, 0, 1},
                                           CountRow{2, 1, 3, 1}, CountRow{5, 5, 5, 5}));

TEST(TaskCounts, WorkClearingItsFlagMovesItToStopped) {
    TaskManager tm;
    RunningFlag f = add(tm, TaskKind::AsyncTask);
    EXPECT_EQ(tm.status_summary(), (StatusSummary{0, 1, 0, 1}));
    f->store(false);
    EXPECT_EQ(tm.status_summary(), (StatusSummary{0, 0, 1, 1}));
}

TEST(TaskCounts, NullFlagCountsAsStoppedAndSurvivesStopAll) {
    TaskManager tm;
    tm.register_task(tm.next_task_id(), nullptr, nullptr, TaskKind::Timer);
    EXPECT_EQ(tm.status_summary(), (StatusSummary{0, 0, 1, 1}));
    tm.stop_all();
    tm.cleanup();
    EXPECT_EQ(tm.total_count(), 0u);
}

// ---- register / unregister / cleanup --------------------------------------------------------

TEST(TaskRegister, EntryKeepsItsSlotAliveUntilRemoved) {
    TaskManager tm;
    auto slot = std::make_shared<int>(7);
    std::weak_ptr<int> watch = slot;
    tm.register_task(5, flag(true), std::move(slot), TaskKind::AsyncTask, "named");
    EXPECT_FALSE(watch.expired());
    tm.unregister(5);
    EXPECT_TRUE(watch.expired());
}

TEST(TaskRegister, SameIdReplacesAndReleasesTheOldEntry) {
    TaskManager tm;
    auto old_slot = std::make_shared<int>(1);
    std::weak_ptr<int> watch = old_slot;
    tm.register_task(9, flag(false), std::move(old_slot), TaskKind::Timer);
    tm.register_task(9, flag(true), nullptr, TaskKind::AsyncTask);
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(tm.status_summary(), (StatusSummary{0, 1, 0, 1}));
}

TEST(TaskRegister, UnregisterOfMissingIdIsIgnored) {
    TaskManager tm;
    add(tm, TaskKind::Timer, false);  // id 1
    tm.unregister(42);
    EXPECT_EQ(tm.total_count(), 1u);
    tm.cleanup();
    tm.unregister(1);  // already removed by cleanup
    EXPECT_EQ(tm.total_count(), 0u);
}

TEST(TaskCleanup, RemovesOnlyStoppedEntries) {
    TaskManager tm;
    add(tm, TaskKind::Timer);
    add(tm, TaskKind::AsyncTask);
    tm.cleanup();
    EXPECT_EQ(tm.status_summary(), (StatusSummary{1, 1, 0, 2}));  // only running: unchanged
    add(tm, TaskKind::Timer, false);
    add(tm, TaskKind::AsyncTask, false);
    tm.cleanup();
    EXPECT_EQ(tm.status_summary(), (StatusSummary{1, 1, 0, 2}));
    tm.stop_all();
    tm.cleanup();
    EXPECT_EQ(tm.total_count(), 0u);
}

// Dropping a slot may run code that calls back into the registry (a join handle's owner, say);
// that must not deadlock on the registry's own lock.
class ReentrantReleaseTest : public ::testing::TestWithParam<int> {};

TEST_P(ReentrantReleaseTest, SlotReleasedOutsideTheLock) {
    TaskManager tm;
    std::size_t seen = 99;
    TaskSlot slot(static_cast<void*>(new int(0)), [&](void* p) {
        delete static_cast<int*>(p);
        seen = tm.total_count();
    });
    tm.register_task(1, flag(false), std::move(slot), TaskKind::Timer);
    switch (GetParam()) {
        case 0: tm.unregister(1); break;
        case 1: tm.cleanup(); break;
        case 2: tm.register_task(1, flag(true), nullptr, TaskKind::Timer); break;
    }
    EXPECT_NE(seen, 99u);
}

INSTANTIATE_TEST_SUITE_P(UnregisterCleanupReplace, ReentrantReleaseTest, ::testing::Values(0, 1, 2));

// ---- stop_all --------------------------------------------------------------------------

TEST(TaskStopAll, StopsEverythingKeepsEntriesAndLatchesShutdown) {
    TaskManager tm;
    add(tm, TaskKind::Timer);
    add(tm, TaskKind::AsyncTask);
    add(tm, TaskKind::AsyncTask, false);
    tm.stop_all();
    EXPECT_EQ(tm.status_summary(), (StatusSummary{0, 0, 3, 3}));
    EXPECT_TRUE(tm.is_shutdown_requested());
    RunningFlag later = add(tm, TaskKind::Timer);  // registered after: still runs, flag still set
    EXPECT_TRUE(later->load());
    EXPECT_TRUE(tm.is_shutdown_requested());
    EXPECT_EQ(tm.timer_count(), 1u);
}

// ---- wait_all, with a fake clock ----------------------------------------------------------

struct WaitRow {
    const char* name;
    std::optional<std::uint64_t> timeout_ms;
    std::int64_t step_ns;    // how far each sleep moves the clock (0: exactly the asked 10 ms)
    int clear_after_sleeps;  // the work stops after this many sleeps (-1: never)
    bool result;
    int sleeps;
};

void PrintTo(const WaitRow& r, std::ostream* os) { *os << r.name; }

class WaitAllTest : public ::testing::TestWithParam<WaitRow> {};

TEST_P(WaitAllTest, FollowsThePollingSchedule) {
    const WaitRow& r = GetParam();
    TaskManager tm;
    RunningFlag f = add(tm, TaskKind::Timer);
    FakeClock clock;
    clock.step_override = nanoseconds(r.step_ns);
    clock.on_sleep = [&](int n) {
        if (n == r.clear_after_sleeps) f->store(false);
    };
    EXPECT_EQ(tm.wait_all_with(r.timeout_ms, clock.now_fn(), clock.sleep_fn()), r.result);
    EXPECT_EQ(clock.sleeps, r.sleeps);
}

constexpr auto U64_MAX = std::numeric_limits<std::uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Schedules, WaitAllTest,
    ::testing::Values(WaitRow{"TimeoutZeroFailsWithoutSleeping", 0, 0, -1, false, 0},
                      // checks at 0, 10, 20, 30 ms: the fourth one gives up
                      WaitRow{"Timeout25FailsAtFourthCheck", 25, 0, -1, false, 3},
                      WaitRow{"TimeoutOnACheckFailsThere", 20, 0, -1, false, 2},
                      // 9.999999 ms per sleep: the check at 19.999998 ms is still short of 20 ms
                      WaitRow{"ComparesAtNanosecondResolution", 20, 9'999'999, -1, false, 3},
                      WaitRow{"StopNoticedAtNextCheck", 1000, 0, 4, true, 4},
                      WaitRow{"NoTimeoutWaitsUntilStopped", std::nullopt, 0, 50, true, 50},
                      WaitRow{"HugeTimeoutDoesNotOverflow", U64_MAX, 0, 3, true, 3},
                      WaitRow{"StopBeforeTimeoutCheckWins", 10, 0, 1, true, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WaitAll, IdleRegistryReturnsTrueAtOnceWithAnyTimeout) {
    TaskManager tm;
    add(tm, TaskKind::Timer, false);
    for (std::optional<std::uint64_t> t : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{0},
                                           std::optional<std::uint64_t>{U64_MAX}}) {
        FakeClock clock;
        EXPECT_TRUE(tm.wait_all_with(t, clock.now_fn(), clock.sleep_fn()));
        EXPECT_EQ(clock.sleeps, 0);
    }
}

TEST(WaitAll, DirectlyAfterStopAllReturnsAtFirstCheck) {
    TaskManager tm;
    add(tm, TaskKind::Timer);
    add(tm, TaskKind::AsyncTask);
    tm.stop_all();
    FakeClock clock;
    EXPECT_TRUE(tm.wait_all_with(0, clock.now_fn(), clock.sleep_fn()));
    EXPECT_EQ(clock.sleeps, 0);
}

// The real clock: only generous bounds, the machine is noisy.
TEST(WaitAll, RealClockTimesOutNoEarlierThanAsked) {
    TaskManager tm;
    add(tm, TaskKind::Timer);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(tm.wait_all(25));
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, milliseconds(25));
    EXPECT_LT(took, milliseconds(2000));
}

TEST(WaitAll, RealClockSeesAFlagClearedByAnotherThread) {
    TaskManager tm;
    RunningFlag f = add(tm, TaskKind::AsyncTask);
    std::thread worker([&] {
        // Registry calls on another thread while the waiter polls: the waiter holds no lock.
        for (int i = 0; i < 2000; ++i) (void)tm.running_count();
        f->store(false);
    });
    EXPECT_TRUE(tm.wait_all(std::nullopt));
    worker.join();
}

// ---- concurrency ----------------------------------------------------------------------------

TEST(TaskConcurrency, MixedOperationsFromSeveralThreadsStayConsistent) {
    TaskManager tm;
    constexpr int WRITERS = 3, PER_WRITER = 3000;
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < WRITERS; ++w)
        threads.emplace_back([&, w] {
            for (int i = 0; i < PER_WRITER; ++i) {
                const TaskId id = tm.next_task_id();
                tm.register_task(id, flag(true), std::make_shared<int>(i),
                                 w % 2 ? TaskKind::Timer : TaskKind::AsyncTask);
                if (i % 3 == 0) tm.unregister(id);
            }
        });
    std::thread reader([&] {
        while (!done.load()) {
            const StatusSummary s = tm.status_summary();
            ASSERT_EQ(s.running_timers + s.running_tasks + s.stopped, s.total);
            (void)tm.running_count();
            (void)tm.timer_count();
        }
    });
    std::thread stopper([&] {
        // At least one stop: the writers may all be done before this thread first runs.
        for (int i = 0; i < 200 && (i == 0 || !done.load()); ++i) {
            tm.stop_all();
            tm.cleanup();
            std::this_thread::yield();
        }
    });
    for (auto& th : threads) th.join();
    done.store(true);
    reader.join();
    stopper.join();

    // Every surviving entry is accounted for; after a final stop and cleanup nothing is left.
    const StatusSummary s = tm.status_summary();
    EXPECT_EQ(s.running_timers + s.running_tasks + s.stopped, s.total);
    EXPECT_LE(s.total, std::size_t{WRITERS * PER_WRITER * 2 / 3});
    EXPECT_TRUE(tm.is_shutdown_requested());
    tm.stop_all();
    EXPECT_TRUE(tm.wait_all(0));
    tm.cleanup();
    EXPECT_EQ(tm.total_count(), 0u);
    EXPECT_EQ(tm.next_task_id(), TaskId{WRITERS * PER_WRITER + 1});
}

}  // namespace
}  // namespace quorix
