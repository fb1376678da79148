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
#include "runtime/join_handle.hpp"
#include "runtime/runtime.hpp"
#include "runtime/task.hpp"

namespace quorix {

/// Interval between the flag checks of AsyncHandle.wait.
inline constexpr std::chrono::milliseconds ASYNC_WAIT_POLL{1};

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

/// Marks the task finished on every way out of the body (also while it unwinds):
/// `completed` first, then `running` cleared.
template <class V>
struct FinishMark {
    AsyncTaskState<V>& state;
    std::atomic<bool>& running;
    ~FinishMark() {
        state.completed.store(true, std::memory_order_seq_cst);
        running.store(false, std::memory_order_seq_cst);
    }
};

/// The job's call as a job of the blocking pool. A named type rather than a lambda: g++ 12
/// miscompiles lambdas with captures created inside a coroutine's co_await expression.
template <class V, class Job>
struct CallJob {
    Job* job;  // in the body's frame, which awaits the call
    bool run;
    CallOutcome<V> operator()() const { return job->call(run); }
};

}  // namespace detail

/// The body of one async task; spawn it on `runtime` and never abort it.
///
/// `job.call(bool run) -> CallOutcome<V>` is invoked exactly once, as a job of the
/// runtime's blocking pool: the call waits for a lock the runtime knows nothing about (the
/// interpreter lock), which no worker may wait for in its seat, and the pool bounds the
/// number of threads however many tasks are pending (the rest wait in order). `run` is
/// false when the task was cancelled or stopped before it started: the job then only lets
/// go of what it holds. If the pool cannot run the job at all, its failure text becomes the
/// task's error. The outcome is stored under its slot's mutex, which the body takes without
/// holding any other lock, and the body holds no slot's mutex while the job runs. Then
/// `completed` is set and `running` cleared. If the body drops the last reference to
/// `state`, `job.dispose(state)` deletes it (taking whatever lock V needs, or leaking it
/// when that lock is gone for good); it runs on a worker and must not block.
template <class V, class Job>
rt::Task<void> async_task_body(rt::Runtime& runtime, AsyncTaskState<V>* state, RunningFlag running, Job job) {
    {
        detail::FinishMark<V> finish{*state, *running};
        const bool run =
            !state->cancelled.load(std::memory_order_seq_cst) && running->load(std::memory_order_seq_cst);
        CallOutcome<V> out;
        try {
            out = co_await runtime.spawn_blocking(detail::CallJob<V, Job>{&job, run});
        } catch (const std::exception& e) {
            // No pool thread could be started: the call never ran. Report that as the
            // task's failure rather than as a result of None. A forced unwind is no
            // std::exception and passes on.
            out = {std::nullopt, std::string(e.what())};
        }
        if (out.value) {
            auto guard = co_await state->result.mutex.lock();
            state->result.value = std::move(out.value);  // the slot was empty: no old value dies here
        }
        if (out.error) {
            auto guard = co_await state->error.mutex.lock();
            state->error.value = std::move(out.error);
        }
    }
    if (state->drop_ref()) job.dispose(state);
}

}  // namespace quorix
