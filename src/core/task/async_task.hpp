#pragma once

// Async tasks without Python: what a task body shares with its handle, the status rules,
// and the body coroutine that runs one call on the shared runtime. The Python classes
// (async_task_py.cpp) supply the call itself and the kind of value it produces.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/manager/task_registry.hpp"
#include "runtime/async_mutex.hpp"
#include "runtime/event.hpp"
#include "runtime/join_handle.hpp"
#include "runtime/runtime.hpp"
#include "runtime/task.hpp"
#include "base/thread.hpp"

namespace quorix {

/// A value that is read or written only while `mutex` is held.
template <class V>
struct GuardedSlot {
    rt::AsyncMutex mutex;
    std::optional<V> value;  // guarded by mutex
};

/// One call of a task's function: its value, the description of what it raised, or
/// neither when the call was skipped.
template <class V>
struct CallOutcome {
    std::optional<V> value;
    std::optional<std::string> error;
};

/// What a task body and its handle share. Counted by hand, with exactly two owners (the
/// body and the handle), so that whichever lets go last knows it and can first take the
/// lock that destroying a V may need (a Python object needs the interpreter lock).
template <class V>
class AsyncTaskState {
public:
    AsyncTaskState() = default;
    AsyncTaskState(const AsyncTaskState&) = delete;
    AsyncTaskState& operator=(const AsyncTaskState&) = delete;

    // seq_cst loads and stores. The body stores the outcome (under its slot's mutex) before
    // it sets `completed`, so a reader that sees `completed` finds the outcome in place.
    std::atomic<bool> completed{false};
    std::atomic<bool> cancelled{false};  // set only by the handle's cancel
    rt::CompletionEvent finished;        // notified after `completed` or `cancelled` is set
    GuardedSlot<V> result;
    GuardedSlot<std::string> error;

    /// Drops one of the two references. True for the last one: the caller deletes the state.
    [[nodiscard]] bool drop_ref() noexcept {
        // acq_rel: the last owner must see every write of the other before it deletes.
        return refs_.fetch_sub(1, std::memory_order_acq_rel) == 1;
    }

private:
    std::atomic<int> refs_{2};
};

/// The status text of a handle: "cancelled" wins over "completed", which wins over
/// "running". A task whose function raised shows "completed".
constexpr const char* async_status_text(bool completed, bool cancelled) noexcept {
    if (cancelled) return "cancelled";
    if (completed) return "completed";
    return "running";
}

/// The registry's side of one async task, in one allocation: the `running` flag and the
/// slot that holds the join handle of the body. Both are handed out as aliases of one
/// shared_ptr (running_flag(), task_slot()), so the record lives while any of the entry,
/// the body and the handle holds either. It holds nothing of Python, so any thread may
/// drop the last reference.
struct AsyncTaskRecord {
    std::atomic<bool> running{true};
    GuardedSlot<rt::JoinHandle<void>> handle;  // nothing awaits or aborts it
};

inline RunningFlag running_flag(const std::shared_ptr<AsyncTaskRecord>& r) {
    return RunningFlag(r, &r->running);
}
inline TaskSlot task_slot(const std::shared_ptr<AsyncTaskRecord>& r) { return TaskSlot(r, &r->handle); }

namespace detail {

/// Marks the task finished on every way out of the call (also while it unwinds):
/// `completed` first, then `running` cleared, then waiters woken.
template <class V>
struct FinishMark {
    AsyncTaskState<V>& state;
    std::atomic<bool>& running;
    ~FinishMark() {
        state.completed.store(true, std::memory_order_seq_cst);
        running.store(false, std::memory_order_seq_cst);
        state.finished.notify();
    }
};

/// Takes a slot's mutex from a blocking-pool thread. It is usually free; otherwise a reader
/// holds it for a moment.
inline rt::Task<rt::AsyncMutexGuard> lock_slot_async(rt::AsyncMutex& m) { co_return co_await m.lock(); }
inline rt::AsyncMutexGuard lock_slot_now(rt::Runtime& runtime, rt::AsyncMutex& m) {
    if (auto guard = m.try_lock()) return std::move(*guard);
    return runtime.run_blocking(lock_slot_async(m));
}

/// Stores one call's outcome in the slots (empty until now: no old value dies here).
template <class V>
void store_outcome(rt::Runtime& runtime, AsyncTaskState<V>& state, CallOutcome<V>&& out) {
    if (out.value) {
        auto guard = lock_slot_now(runtime, state.result.mutex);
        state.result.value = std::move(out.value);
    }
    if (out.error) {
        auto guard = lock_slot_now(runtime, state.error.mutex);
        state.error.value = std::move(out.error);
    }
}

/// A whole async task as one job of the blocking pool: the call, its outcome stored, the
/// task marked finished and its waiters woken from the pool thread, and the task's reference
/// to the state dropped.
template <class V, class Job>
class AsyncTaskJob {
public:
    AsyncTaskJob(rt::Runtime& runtime, AsyncTaskState<V>* state, RunningFlag running, Job job)
        : runtime_(&runtime), state_(state), running_(std::move(running)), job_(std::move(job)) {}
    AsyncTaskJob(AsyncTaskJob&&) noexcept = default;
    AsyncTaskJob& operator=(AsyncTaskJob&&) = delete;

    void operator()() {
        // Taken here rather than by the call alone: the runtime's mask comes back only after
        // the waiters have been woken, off the path of the round trip.
        rt::ApplicationSignalMask signals;
        {
            FinishMark<V> finish{*state_, *running_};
            // Decided here rather than at the spawn: a task stopped while queued is skipped.
            const bool run = !state_->cancelled.load(std::memory_order_seq_cst) &&
                             running_->load(std::memory_order_seq_cst);
            CallOutcome<V> out;
            try {
                out = job_.call(run);
            } catch (const std::exception& e) {
                out = {std::nullopt, std::string(e.what())};
            }
            store_outcome(*runtime_, *state_, std::move(out));
        }
        if (state_->drop_ref()) job_.dispose_here(state_);
    }

    /// No pool thread could be started: the call never runs. That is the task's failure,
    /// rather than a result of None. Called on any thread, possibly one that holds the lock
    /// V needs, so the state is disposed of through job.dispose(), which never blocks.
    void fail(const std::string& why) noexcept {
        {
            FinishMark<V> finish{*state_, *running_};
            try {
                store_outcome<V>(*runtime_, *state_, {std::nullopt, why});
            } catch (...) {
                // Out of memory for the text: the task ends without one.
            }
        }
        if (state_->drop_ref()) job_.dispose(state_);
    }

private:
    rt::Runtime* runtime_;
    AsyncTaskState<V>* state_;
    RunningFlag running_;
    Job job_;
};

}  // namespace detail

/// Starts one async task on `runtime` and returns the handle of its job; never abort it.
///
/// `job.call(bool run) -> CallOutcome<V>` is invoked exactly once, on a thread of the
/// runtime's blocking pool: the call waits for a lock the runtime knows nothing about (the
/// interpreter lock), which no worker may wait for in its seat, and the pool bounds the
/// number of threads however many tasks are pending (the rest wait in order). No worker is
/// involved: the caller hands the job straight to the pool. `run` is false when the task
/// was cancelled or stopped before the call: the job then only lets go of what it holds.
/// The same pool thread stores the outcome under its slot's mutex (holding no other lock),
/// sets `completed`, clears `running` and wakes the waiters. If the pool cannot run the job
/// at all, its failure text becomes the task's error. Whoever drops the last reference to
/// `state` frees it: `job.dispose_here(state)` on the pool thread (which may take the lock
/// that destroying a V needs), `job.dispose(state)` elsewhere (which must not block).
template <class V, class Job>
rt::JoinHandle<void> start_async_task(rt::Runtime& runtime, AsyncTaskState<V>* state, RunningFlag running,
                                      Job job) {
    return runtime.spawn_blocking(
        detail::AsyncTaskJob<V, Job>(runtime, state, std::move(running), std::move(job)));
}

/// The start of an async task as a whole: starts the body on `runtime` (see start_async_task),
/// keeps its join handle in a new record and registers that record in `registry` as running
/// async task `id`. Returns the slot the handle keeps (shared with the entry). The body may
/// finish before the registration; its entry then reads as stopped. Throws std::bad_alloc
/// only. The undo, once no handle will ever be made: registry.unregister(id).
template <class V, class Job>
TaskSlot launch_async_task(rt::Runtime& runtime, TaskManager& registry, TaskId id, AsyncTaskState<V>* state,
                           Job job) {
    auto record = std::make_shared<AsyncTaskRecord>();
    rt::JoinHandle<void> join = start_async_task(runtime, state, running_flag(record), std::move(job));
    record->handle.value = std::move(join);  // nobody else reads the slot yet
    TaskSlot slot = task_slot(record);
    registry.register_task(id, running_flag(record), slot, TaskKind::AsyncTask);
    return slot;
}

}  // namespace quorix
