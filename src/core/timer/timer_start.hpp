#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include "core/manager/task_registry.hpp"
#include "core/timer/dedicated_timer.hpp"
#include "core/timer/normal_timer.hpp"
#include "core/timer/precision_sleep.hpp"
#include "core/timer/timer_call.hpp"
#include "core/timer/timer_precision.hpp"
#include "runtime/runtime.hpp"

// Starting a timer and undoing the start, without Python: the flags, the choice of loop
// (a runtime task for Normal, a thread of its own for High and Realtime), the registration.

namespace quorix {

/// What a started timer's handle keeps.
struct StartedTimer {
    TaskId id = 0;
    Instant start{};  // taken just before the loop starts
    RunningFlag running;
    TickCounter ticks;
    std::shared_ptr<TaskHandleSlot> handle;     // the Normal loop's join handle; empty otherwise
    std::shared_ptr<ThreadSlot> thread_handle;  // the High or Realtime thread; empty otherwise
};

/// Where timers start: the registry they enter, whose shutdown flag their loops read, and the
/// runtime of Normal loops, asked for only when one starts (the process's one is created on
/// first use and throws Panic when it cannot be).
struct TimerHost {
    TaskManager* registry;
    rt::Runtime& (*runtime)();
};

/// Starts the loop of timer `id` that calls `call` every `period` (a value of
/// period_from_frequency), the first time at once, and registers it as a running timer. The
/// first call may come before the registration. Any thread, a runtime worker included.
/// Throws Panic when no thread (High, Realtime) or runtime (Normal) can run the loop, or
/// std::bad_alloc; then `call->release()` has run on the calling thread and nothing is
/// registered.
StartedTimer start_timer(const TimerHost& host, TaskId id, TimerPrecision precision,
                         std::chrono::nanoseconds period, std::unique_ptr<TimerCall> call);

/// Stops the timer and removes its entry: what dropping its handle does, and the undo of a
/// start whose handle could not be made. The loop ends at its next check of the flag.
void stop_and_unregister(TaskManager& registry, TaskId id, const RunningFlag& running);

/// Seconds from `start` to `now`, with the whole seconds and the rest converted apart so that
/// no nanosecond is lost to rounding before ~2^53 s. Pure.
double elapsed_secs(Instant start, Instant now) noexcept;

/// Calls per second over `elapsed` seconds; 0 while no time has passed. Pure.
double actual_frequency(std::uint64_t ticks, double elapsed) noexcept;

}  // namespace quorix
