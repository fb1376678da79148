#include "core/timer/normal_timer.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <string>
#include <vector>
#include "core/timer/precision_sleep.hpp"
#include "runtime/block_on.hpp"

namespace quorix {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// Shared by the loop's calls (on pool threads) and the test thread.
struct Record {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Instant> starts;
    int on_worker = 0;  // calls made on a thread that holds a worker seat (must stay 0)
    int releases = 0;
    int release_on_worker = 0;

    template <class P>
    bool wait(P pred) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, std::chrono::seconds{10}, [&] { return pred(*this); });
    }
};

struct RecordingCall : TimerCall {
    Record* r;
    std::function<bool(std::size_t)> on_call;
    RecordingCall(Record* rec, std::function<bool(std::size_t)> f) : r(rec), on_call(std::move(f)) {}
    bool call() override {
        std::size_t k;
        {
            std::lock_guard lock(r->m);
            r->starts.push_back(monotonic_now());
            r->on_worker += rt::on_worker_thread() ? 1 : 0;
            k = r->starts.size() - 1;
            r->cv.notify_all();
        }
        return on_call ? on_call(k) : true;
    }
    void release() override {
        std::lock_guard lock(r->m);
        ++r->releases;
        r->release_on_worker += rt::on_worker_thread() ? 1 : 0;
        r->cv.notify_all();
    }
};

class NormalTimer : public ::testing::Test {
public:
    NormalLoop make_loop(nanoseconds period, std::function<bool(std::size_t)> on_call = {}) {
        NormalLoop loop;
        loop.runtime = &runtime_;
        loop.running = running_;
        loop.tick_count = ticks_;
        loop.call = std::make_shared<RecordingCall>(&rec_, std::move(on_call));
        loop.period = period;
        loop.registry = &registry_;
        return loop;
    }
    // The loop's task must be over before the runtime goes (it would abandon the frame).
    static bool finished(const std::shared_ptr<TaskHandleSlot>& slot) {
        for (int i = 0; i < 10'000 && !slot->join->is_finished(); ++i) sleep_monotonic(milliseconds{1});
        return slot->join->is_finished();
    }
    std::size_t calls() {
        std::lock_guard lock(rec_.m);
        return rec_.starts.size();
    }

    rt::Runtime runtime_{rt::RuntimeConfig{.workers = 1}};
    TaskManager registry_;
    RunningFlag running_ = std::make_shared<std::atomic<bool>>(true);
    TickCounter ticks_ = std::make_shared<std::atomic<std::uint64_t>>(0);
    Record rec_;
};

TEST_F(NormalTimer, CallsAtOnceThenOnTheGridOnThePoolNeverOnAWorker) {
    constexpr nanoseconds P = milliseconds{20};
    const Instant before = monotonic_now();
    auto slot = spawn_normal_timer(make_loop(P));
    ASSERT_TRUE(slot->join.has_value());
    ASSERT_TRUE(rec_.wait([](Record& r) { return r.starts.size() >= 5; }));
    running_->store(false);
    ASSERT_TRUE(rec_.wait([](Record& r) { return r.releases == 1; }));
    ASSERT_TRUE(finished(slot));
    std::lock_guard lock(rec_.m);
    EXPECT_LT(rec_.starts[0] - before, milliseconds{500});  // generous: no period waited first
    for (std::size_t k = 1; k < 5; ++k)
        EXPECT_GE(rec_.starts[k] - before, P * static_cast<std::int64_t>(k)) << k;  // never early
    EXPECT_EQ(rec_.on_worker, 0);
    EXPECT_EQ(rec_.release_on_worker, 0);
    EXPECT_EQ(ticks_->load(), rec_.starts.size());
}

TEST_F(NormalTimer, StopDuringTheWaitAllowsAtMostOneMoreCall) {
    auto slot = spawn_normal_timer(make_loop(milliseconds{50}));
    ASSERT_TRUE(rec_.wait([](Record& r) { return !r.starts.empty(); }));
    running_->store(false);
    const std::size_t at_stop = calls();
    ASSERT_TRUE(rec_.wait([](Record& r) { return r.releases == 1; }));
    ASSERT_TRUE(finished(slot));
    EXPECT_LE(calls(), at_stop + 1);
}

TEST_F(NormalTimer, StopInsideTheCallEndsWithoutAnotherCall) {
    auto slot = spawn_normal_timer(make_loop(milliseconds{5}, [this](std::size_t k) {
        if (k == 2) running_->store(false);
        return true;
    }));
    ASSERT_TRUE(rec_.wait([](Record& r) { return r.releases == 1; }));
    ASSERT_TRUE(finished(slot));
    EXPECT_EQ(calls(), 3u);
    EXPECT_EQ(ticks_->load(), 3u);
}

TEST_F(NormalTimer, ShutdownRequestedBeforeTheStartMeansNoCall) {
    registry_.stop_all();
    auto slot = spawn_normal_timer(make_loop(milliseconds{5}));
    ASSERT_TRUE(rec_.wait([](Record& r) { return r.releases == 1; }));
    ASSERT_TRUE(finished(slot));
    EXPECT_EQ(calls(), 0u);
    EXPECT_FALSE(running_->load());
    EXPECT_EQ(ticks_->load(), 0u);
}

TEST_F(NormalTimer, CallThatCanNoLongerRunEndsTheLoop) {
    auto slot = spawn_normal_timer(make_loop(milliseconds{2}, [](std::size_t k) { return k < 1; }));
    ASSERT_TRUE(rec_.wait([](Record& r) { return r.releases == 1; }));
    ASSERT_TRUE(finished(slot));
    EXPECT_EQ(calls(), 2u);
    EXPECT_EQ(ticks_->load(), 1u);
    EXPECT_FALSE(running_->load());  // it will never call again: it shows stopped
}

int refuse_thread(const char*, void (*)(void*), void*) { return EAGAIN; }

// A blocking pool that cannot start a thread: the loop says so once, shows stopped and
// lets go of its call (off the worker seat), instead of hanging with `running` set.
class NormalTimerWithoutPool : public NormalTimer {
public:
    rt::Runtime no_pool_{rt::RuntimeConfig{.workers = 1, .start_blocking_thread = &refuse_thread}};
};

TEST_F(NormalTimerWithoutPool, StopsWithOneLineAndReleasesTheCall) {
    NormalLoop loop = make_loop(milliseconds{2});
    loop.runtime = &no_pool_;
    loop.id = 17;
    testing::internal::CaptureStderr();
    auto slot = spawn_normal_timer(std::move(loop));
    const bool released = rec_.wait([](Record& r) { return r.releases == 1; });
    const bool ended = finished(slot);
    const std::string printed = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(released && ended);
    EXPECT_EQ(printed,
              "Timer 17 stopped: Failed to start a blocking-pool thread: Resource temporarily unavailable "
              "(os error 11)\n");
    EXPECT_FALSE(running_->load());
    EXPECT_EQ(calls(), 0u);
    EXPECT_EQ(ticks_->load(), 0u);
    std::lock_guard lock(rec_.m);
    EXPECT_EQ(rec_.release_on_worker, 0);
}

TEST_F(NormalTimer, StartsFromInsideARuntimeTaskWithoutBlockingTheWorker) {
    // One worker: if filling the slot waited for anything the loop needs, this would hang.
    std::shared_ptr<TaskHandleSlot> slot;
    auto outer =
        runtime_.spawn([](NormalTimer* self, std::shared_ptr<TaskHandleSlot>* out) -> rt::Task<bool> {
            *out = spawn_normal_timer(self->make_loop(milliseconds{5}));
            co_return (*out)->join.has_value();
        }(this, &slot));
    ASSERT_TRUE(rec_.wait([](Record& r) { return r.starts.size() >= 3; }));
    running_->store(false);
    ASSERT_TRUE(rec_.wait([](Record& r) { return r.releases == 1; }));
    for (int i = 0; i < 10'000 && !outer.is_finished(); ++i) sleep_monotonic(milliseconds{1});
    ASSERT_TRUE(outer.is_finished());  // publishes `slot`
    EXPECT_TRUE(outer.take_result());
    ASSERT_TRUE(finished(slot));
}

}  // namespace
}  // namespace quorix
