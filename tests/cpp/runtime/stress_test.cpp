// Many tasks woken, raced and aborted from several threads at once; run it under
// ThreadSanitizer (scripts/sanitize).

#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "runtime/async_mutex.hpp"
#include "runtime/block_on.hpp"
#include "runtime/mpsc.hpp"
#include "runtime/reactor.hpp"
#include "runtime/runtime.hpp"
#include "runtime/select.hpp"
#include "runtime/time.hpp"
#include "runtime_test_util.hpp"

namespace quorix::rt {
namespace {

using namespace std::chrono_literals;
using testing::Counted;
using testing::eventually;

struct Shared {
    AsyncMutex mutex;
    std::atomic<int> overlaps{0};  // a task body seen running twice at once
    std::atomic<int> guarded{0};   // holders of `mutex` at once, must stay <= 1
    std::atomic<int> mutex_overlaps{0};
    std::atomic<long> received{0};
};

// Marks one synchronous stretch of a task body; two threads inside it at once is a bug.
struct Stretch {
    std::atomic<bool>& flag;
    Shared& shared;
    Stretch(std::atomic<bool>& f, Shared& s) : flag(f), shared(s) {
        if (flag.exchange(true)) ++shared.overlaps;
    }
    ~Stretch() { flag.store(false); }
};

Task<int> worker_task(mpsc::Receiver<Counted> rx, Shared& shared, int seed) {
    std::atomic<bool> inside{false};
    int handled = 0;
    for (int round = 0;; ++round) {
        auto r = co_await select(rx.recv(), sleep(std::chrono::microseconds(20 + (seed + round) % 80)));
        Stretch s(inside, shared);
        if (r.index() == 1) continue;
        auto msg = std::get<0>(std::move(r));
        if (!msg) break;
        ++handled;
        ++shared.received;
        if (msg->value % 3 == 0) {
            auto g = co_await shared.mutex.lock();
            struct Holder {  // counts holders, also when the yield below throws TaskCancelled
                Shared& s;
                explicit Holder(Shared& sh) : s(sh) {
                    if (++s.guarded > 1) ++s.mutex_overlaps;
                }
                ~Holder() { --s.guarded; }
            } holder(shared);
            co_await yield_now();
        }
    }
    co_return handled;
}

TEST(RtStress, SpawnWakeSelectAndAbortAcrossThreads) {
    Runtime rt(RuntimeConfig{.workers = 3});
    Shared shared;
    constexpr int ROUNDS = 20, TASKS = 100, SENDERS = 3, MESSAGES = 300;
    for (int round = 0; round < ROUNDS; ++round) {
        std::vector<mpsc::Sender<Counted>> senders;
        std::vector<JoinHandle<int>> handles;
        for (int i = 0; i < TASKS; ++i) {
            auto [tx, rx] = mpsc::channel<Counted>();
            senders.push_back(std::move(tx));
            handles.push_back(rt.spawn(worker_task(std::move(rx), shared, i)));
        }
        std::vector<std::thread> threads;
        for (int t = 0; t < SENDERS; ++t) {
            threads.emplace_back([&, t] {
                std::mt19937 rng(round * 31 + t);
                for (int m = 0; m < MESSAGES; ++m) {
                    const int target = static_cast<int>(rng() % TASKS);
                    senders[target].send(Counted(m));  // Sender::send is thread-safe
                    if (rng() % 16 == 0) handles[rng() % TASKS].abort();
                }
            });
        }
        // Meanwhile this thread joins some tasks through block_on.
        for (int i = 0; i < TASKS; i += 10) handles[i].abort();
        for (auto& t : threads) t.join();
        senders.clear();  // every channel closes: the tasks that were not aborted end
        int finished_ok = 0, cancelled = 0;
        for (auto& h : handles) {
            // Bounded first: a task that lost its wake-up fails the test instead of hanging it.
            ASSERT_TRUE(eventually([&] { return h.is_finished(); })) << "a task was lost in round " << round;
            try {
                rt.block_on([](JoinHandle<int>& h) -> Task<int> { co_return co_await h; }(h));
                ++finished_ok;
            } catch (const TaskCancelled&) {
                ++cancelled;
            }
        }
        EXPECT_EQ(finished_ok + cancelled, TASKS);
        EXPECT_GE(cancelled, TASKS / 10);
    }
    EXPECT_EQ(shared.overlaps.load(), 0);
    EXPECT_EQ(shared.mutex_overlaps.load(), 0);
    EXPECT_FALSE(shared.mutex.is_locked());
    EXPECT_TRUE(eventually([&] { return rt.reactor().pending_timers() == 0; }));
    EXPECT_EQ(Counted::live.load(), 0);
    EXPECT_GT(shared.received.load(), 0);
}

TEST(RtStress, WakesFromManyThreadsNeverLoseATask) {
    Runtime rt(RuntimeConfig{.workers = 2});
    constexpr int TASKS = 200, THREADS = 4;
    // Every task counts the messages on its own channel; the senders race its waits.
    std::vector<mpsc::Sender<int>> senders;
    std::vector<JoinHandle<int>> handles;
    auto count = [](mpsc::Receiver<int> rx) -> Task<int> {
        int n = 0;
        while (co_await rx.recv()) ++n;
        co_return n;
    };
    for (int i = 0; i < TASKS; ++i) {
        auto [tx, rx] = mpsc::channel<int>();
        senders.push_back(std::move(tx));
        handles.push_back(rt.spawn(count(std::move(rx))));
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < 50; ++k)
                for (int i = t; i < TASKS; i += 1) senders[(i + k) % TASKS].send(k);
        });
    }
    for (auto& t : threads) t.join();
    senders.clear();
    for (auto& h : handles) {
        ASSERT_TRUE(eventually([&] { return h.is_finished(); }));
    }
    long total = 0;
    for (auto& h : handles) total += h.take_result();
    long expected = 0;
    for (int t = 0; t < THREADS; ++t) expected += 50L * (TASKS - t);
    EXPECT_EQ(total, expected);
}

}  // namespace
}  // namespace quorix::rt
