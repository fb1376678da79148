#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include "core/manager/task_registry.hpp"
#include "core/timer/timer_call.hpp"
#include "runtime/join_handle.hpp"
#include "runtime/runtime.hpp"

// Normal timers: a task on the shared runtime ticks an Interval (skip policy) and makes
// each call as a job on the blocking pool, so no worker ever waits for the interpreter lock.

namespace quorix {

/// The task slot of a started Normal timer: the join handle of its loop. The registry entry
/// and the timer's handle keep it alive; nothing reads it; dropping it detaches the loop.
struct TaskHandleSlot {
    std::mutex mutex;
    std::optional<rt::JoinHandle<void>> join;  // guarded by mutex
};

/// Everything one Normal loop holds.
struct NormalLoop {
    rt::Runtime* runtime = nullptr;  // runs the loop and the blocking calls
    RunningFlag running;
    TickCounter tick_count;
    std::shared_ptr<TimerCall> call;        // shared with the blocking job of the current call
    std::chrono::nanoseconds period{};      // > 0 and at most MAX_TIMER_PERIOD
    const TaskManager* registry = nullptr;  // its shutdown flag is read once per tick
    TaskId id = 0;                          // names the timer in its failure line
};

/// The loop: tick (the first one at once, when the task first runs), stop if the registry
/// asks for shutdown (clearing `running`), call on the blocking pool and wait for the call,
/// count it, and go on while `running` is set. `running` is read only between a call and
/// the next wait, so a stop during the wait lets one more call happen. Calls never overlap.
/// A call that can no longer be made (the interpreter exits) ends the loop and clears
/// `running` silently. When the blocking pool cannot run a call (no thread can be started),
/// the loop writes "Timer {id} stopped: {reason}" to stderr and clears `running`.
/// At the end, `call->release()` runs on the blocking pool, or, if the pool cannot take it,
/// on the loop's own thread after it handed its worker seat over.
rt::Task<void> run_normal_loop(NormalLoop loop);

/// Spawns run_normal_loop on `loop.runtime` and returns a new slot holding its join handle.
/// The slot is filled before anyone else can see it, so no lock is waited for: this works
/// on any thread, also on a runtime worker (a Normal timer started by an async task's
/// function). Throws only what spawning throws (memory); nothing runs then.
std::shared_ptr<TaskHandleSlot> spawn_normal_timer(NormalLoop loop);

}  // namespace quorix
