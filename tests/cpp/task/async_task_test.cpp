#include "core/task/async_task.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "runtime/block_on.hpp"
#include "runtime/runtime.hpp"

namespace quorix {
namespace {

using State = AsyncTaskState<std::string>;
using std::chrono::seconds;

// What the fake job saw, shared with the test.
struct Probe {
    std::atomic<int> calls{0};
    std::atomic<bool> run{false};
    std::atomic<bool> called_in_seat{false};
    std::atomic<int> disposed{0};
};

struct FakeJob {
    std::shared_ptr<Probe> probe;
    CallOutcome<std::string> outcome;
    std::function<void()> during_call;  // runs inside the call

    CallOutcome<std::string> call(bool run) {
        probe->calls.fetch_add(1);
        probe->run.store(run);
        probe->called_in_seat.store(rt::on_worker_thread());
        if (!run) return {};
        if (during_call) during_call();
        return std::move(outcome);
    }
    void dispose(State* s) {
        probe->disposed.fetch_add(1);
        delete s;
    }
    void dispose_here(State* s) { dispose(s); }
};

rt::Task<void> join(rt::JoinHandle<void> h) { co_await h; }

class AsyncTaskBody : public ::testing::Test {
protected:
    // One worker: a body that kept its seat while it blocks would stop everything else.
    rt::Runtime runtime_{rt::RuntimeConfig{.workers = 1}};
    std::shared_ptr<Probe> probe_ = std::make_shared<Probe>();
    std::shared_ptr<AsyncTaskRecord> record_ = std::make_shared<AsyncTaskRecord>();
    State* state_ = new State();

    void run_to_end(FakeJob job) {
        runtime_.block_on(join(start_async_task(runtime_, state_, running_flag(record_), std::move(job))));
    }
    FakeJob job(CallOutcome<std::string> outcome = {}) { return FakeJob{probe_, std::move(outcome), {}}; }
    // The handle's side lets go; it deletes the state when it is last.
    void drop_handle_ref() {
        if (state_->drop_ref()) delete state_;
    }
};

TEST_F(AsyncTaskBody, StoresTheValueThenMarksCompletedAndStopped) {
    run_to_end(job({std::string("42"), std::nullopt}));
    EXPECT_EQ(probe_->calls, 1);
    EXPECT_TRUE(probe_->run);
    EXPECT_FALSE(probe_->called_in_seat) << "the call must not run in a worker seat";
    EXPECT_EQ(state_->result.value, "42");
    EXPECT_FALSE(state_->error.value);
    EXPECT_TRUE(state_->completed);
    EXPECT_FALSE(record_->running);
    EXPECT_FALSE(state_->result.mutex.is_locked());
    EXPECT_EQ(probe_->disposed, 0) << "the handle still holds the state";
    drop_handle_ref();
}

TEST_F(AsyncTaskBody, StoresTheErrorTextAndNoValue) {
    run_to_end(job({std::nullopt, std::string("ValueError: bad")}));
    EXPECT_EQ(state_->error.value, "ValueError: bad");
    EXPECT_FALSE(state_->result.value);
    EXPECT_TRUE(state_->completed);
    EXPECT_FALSE(record_->running);
    drop_handle_ref();
}

enum class StopBy { Cancel, StopAll };
class AsyncTaskSkip : public AsyncTaskBody, public ::testing::WithParamInterface<StopBy> {};

TEST_P(AsyncTaskSkip, StoppedBeforeTheStartSkipsTheCallButStillFinishes) {
    if (GetParam() == StopBy::Cancel) {
        state_->cancelled = true;
    } else {
        record_->running = false;
    }
    run_to_end(job({std::string("never"), std::nullopt}));
    EXPECT_EQ(probe_->calls, 1) << "the job is still told to let go of its references";
    EXPECT_FALSE(probe_->run);
    EXPECT_FALSE(state_->result.value);
    EXPECT_FALSE(state_->error.value);
    EXPECT_TRUE(state_->completed);
    EXPECT_FALSE(record_->running);
    drop_handle_ref();
}

INSTANTIATE_TEST_SUITE_P(Both, AsyncTaskSkip, ::testing::Values(StopBy::Cancel, StopBy::StopAll));

TEST_F(AsyncTaskBody, BodyThatLetsGoLastDisposesTheStateOnce) {
    drop_handle_ref();  // the handle is gone before the body runs
    run_to_end(job({std::string("x"), std::nullopt}));
    EXPECT_EQ(probe_->disposed, 1);
}

TEST_F(AsyncTaskBody, CompletedWaitsForTheOutcomeToBeStored) {
    // A reader holds the result slot: the body must finish its call, then wait for the
    // slot, and only then mark the task completed.
    std::optional<rt::AsyncMutexGuard> reader = state_->result.mutex.try_lock();
    ASSERT_TRUE(reader);
    std::promise<void> called;
    FakeJob j = job({std::string("v"), std::nullopt});
    j.during_call = [&] { called.set_value(); };
    auto handle = start_async_task(runtime_, state_, running_flag(record_), std::move(j));
    ASSERT_EQ(called.get_future().wait_for(seconds(10)), std::future_status::ready);
    EXPECT_FALSE(state_->completed) << "completed before the outcome could be stored";
    EXPECT_TRUE(record_->running);
    reader.reset();
    runtime_.block_on(join(std::move(handle)));
    EXPECT_EQ(state_->result.value, "v");
    EXPECT_TRUE(state_->completed);
    drop_handle_ref();
}

TEST_F(AsyncTaskBody, BlockedCallLeavesTheOnlyWorkerToOtherTasks) {
    // The call blocks until another task of the same one-worker runtime has run: as a
    // body blocked on the interpreter lock would while the lock's holder waits for runtime
    // work. Kept in its seat, it would never see that task run.
    std::promise<void> other_ran;
    std::shared_future<void> other = other_ran.get_future().share();
    FakeJob j = job({std::string("done"), std::nullopt});
    std::atomic<bool> saw_other{false};
    j.during_call = [&] { saw_other = other.wait_for(seconds(10)) == std::future_status::ready; };
    auto body = start_async_task(runtime_, state_, running_flag(record_), std::move(j));
    auto helper = runtime_.spawn([](std::promise<void>* p) -> rt::Task<void> {
        p->set_value();
        co_return;
    }(&other_ran));
    runtime_.block_on(join(std::move(body)));
    runtime_.block_on(join(std::move(helper)));
    EXPECT_TRUE(saw_other) << "the other task did not run while the call blocked";
    EXPECT_EQ(state_->result.value, "done");
    drop_handle_ref();
}

TEST_F(AsyncTaskBody, WaiterIsWokenByTheEndOfTheCall) {
    // A waiter sleeping on the event for far longer than the test may take must be woken by
    // the end of the call itself.
    std::promise<void> release;
    std::shared_future<void> go = release.get_future().share();
    FakeJob j = job({std::string("w"), std::nullopt});
    j.during_call = [&] { go.wait(); };
    const std::uint32_t seen = state_->finished.seq();
    auto body = start_async_task(runtime_, state_, running_flag(record_), std::move(j));
    std::thread waiter([&] {
        while (!state_->completed) state_->finished.wait_for(seen, std::chrono::hours(1));
    });
    release.set_value();
    waiter.join();  // hangs here if the end of the call woke nobody
    EXPECT_EQ(state_->result.value, "w");
    runtime_.block_on(join(std::move(body)));
    drop_handle_ref();
}

TEST(AsyncTaskRecordTest, RunningFlagAndSlotShareOneRecord) {
    auto record = std::make_shared<AsyncTaskRecord>();
    RunningFlag running = running_flag(record);
    TaskSlot slot = task_slot(record);
    std::weak_ptr<AsyncTaskRecord> watch = record;
    record.reset();
    EXPECT_TRUE(*running);
    EXPECT_EQ(slot.get(), static_cast<void*>(&watch.lock()->handle));
    running.reset();
    EXPECT_FALSE(watch.expired()) << "the registry's slot keeps the record";
    slot.reset();
    EXPECT_TRUE(watch.expired());
}

TEST(AsyncStatusText, CancelledWinsOverCompletedWhichWinsOverRunning) {
    EXPECT_STREQ(async_status_text(false, false), "running");
    EXPECT_STREQ(async_status_text(true, false), "completed");
    EXPECT_STREQ(async_status_text(false, true), "cancelled");
    EXPECT_STREQ(async_status_text(true, true), "cancelled");
}

TEST_F(AsyncTaskBody, LaunchRegistersTheTaskWhichShowsStoppedOnceTheBodyEnds) {
    TaskManager registry;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    FakeJob j = job({std::string("v"), std::nullopt});
    j.during_call = [released] { released.wait(); };
    const TaskSlot slot = launch_async_task(runtime_, registry, 5, state_, std::move(j));
    EXPECT_EQ(registry.async_task_count(), 1u) << "registered while the body runs";
    auto* join_slot = static_cast<GuardedSlot<rt::JoinHandle<void>>*>(slot.get());
    ASSERT_TRUE(join_slot->value.has_value()) << "the slot keeps the body's join handle";
    release.set_value();
    runtime_.block_on(join(std::move(*join_slot->value)));
    EXPECT_EQ(registry.running_count(), 0u);
    EXPECT_EQ(registry.total_count(), 1u) << "the entry stays until the handle unregisters it";
    drop_handle_ref();
}

}  // namespace
}  // namespace quorix
