#pragma once

#include <pthread.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include "core/manager/task_registry.hpp"
#include "core/timer/precision_sleep.hpp"
#include "core/timer/timer_call.hpp"
#include "core/timer/timer_precision.hpp"
#include "base/io_error.hpp"

// High and Realtime timers: one operating-system thread per timer that sleeps coarsely,
// busy-waits the last stretch before each deadline and makes the call.

namespace quorix {

/// The thread slot of a started timer. The thread is detached at creation (so its stack is
/// freed when it ends); the slot keeps its id, which nothing reads. Never joined.
struct ThreadSlot {
    std::mutex mutex;
    std::optional<pthread_t> thread;  // guarded by mutex
};

/// Everything one dedicated-thread loop holds.
struct DedicatedLoop {
    RunningFlag running;
    TickCounter tick_count;
    std::unique_ptr<TimerCall> call;
    std::chrono::nanoseconds period{};       // > 0 and at most MAX_TIMER_PERIOD
    std::chrono::nanoseconds spin_window{};  // 0.8 ms (High) or 3 ms (Realtime)
    const TaskManager* registry = nullptr;   // its shutdown flag is read once per tick
};

/// The deadline to sleep for after a call: `next` itself unless the clock (`now`) is strictly
/// past it, else the first point of `next`'s grid (next + k * period) strictly after `now`.
/// Late ticks are skipped, never made up. Pure.
Instant skip_missed_deadlines(Instant next, Instant now, std::chrono::nanoseconds period) noexcept;

/// Runs the loop on the calling thread until `running` is clear (checked before each call,
/// after each sleep), the registry asks for shutdown (which also clears `running`) or the
/// call reports that no call can be made any more (which clears `running` too); then calls
/// `call->release()`.
/// The first call is made at once, the following ones on the grid start + k * period.
void run_dedicated_loop(DedicatedLoop& loop);

/// "timer-{id}-{High|Realtime}" cut to its first 15 bytes, the longest thread name Linux keeps
/// (it refuses longer ones rather than cutting them): timer-12-Realtime -> timer-12-Realti.
std::string timer_thread_name(TaskId id, TimerPrecision precision);

/// Starts a detached thread with `name` (at most 15 bytes) that sets its timer slack to 1 ns
/// and runs the loop. Returns at once with the thread's id. If the thread cannot be created,
/// releases the loop's call on the calling thread and returns the system error (or rethrows
/// std::bad_alloc after releasing it).
IoResult<pthread_t> spawn_dedicated_timer(std::string name, std::unique_ptr<DedicatedLoop> loop);

}  // namespace quorix
