#include "core/timer/timer_start.hpp"

#include <string>
#include <utility>
#include "base/panic.hpp"

namespace quorix {
namespace {

struct Launched {
    std::shared_ptr<TaskHandleSlot> handle;
    std::shared_ptr<ThreadSlot> thread_handle;
};

// Starts the thread of a High or Realtime timer, which takes over `call`.
Launched launch_dedicated(std::unique_ptr<TimerCall> call, const TimerHost& host, TaskId id,
                          TimerPrecision precision, std::chrono::nanoseconds period,
                          const RunningFlag& running, const TickCounter& ticks) {
    Launched out;
    std::unique_ptr<DedicatedLoop> loop;
    std::string name;
    try {  // everything that allocates comes before the thread: nothing to undo once it runs
        out.handle = std::make_shared<TaskHandleSlot>();  // stays empty: no runtime task
        out.thread_handle = std::make_shared<ThreadSlot>();
        loop = std::make_unique<DedicatedLoop>(
            DedicatedLoop{running, ticks, nullptr, period, spin_window(precision), host.registry});
        name = timer_thread_name(id, precision);
    } catch (...) {
        call->release();  // the caller may wait for what the call needs
        throw;
    }
    loop->call = std::move(call);
    auto thread = spawn_dedicated_timer(std::move(name), std::move(loop));  // releases the call on failure
    if (!thread) throw Panic("Failed to spawn timer thread: " + thread.error().text);
    std::lock_guard lock(out.thread_handle->mutex);  // new and unshared: never waits
    out.thread_handle->thread = *thread;
    return out;
}

// Spawns the loop of a Normal timer on the runtime. Works on any thread, a runtime worker
// included (a timer started by an async task's function): the task slot is filled without
// waiting for its lock.
Launched launch_normal(std::unique_ptr<TimerCall> owned, const TimerHost& host, TaskId id,
                       std::chrono::nanoseconds period, const RunningFlag& running,
                       const TickCounter& ticks) {
    std::shared_ptr<TimerCall> call = std::move(owned);
    Launched out;
    try {
        out.thread_handle = std::make_shared<ThreadSlot>();  // stays empty
        rt::Runtime& runtime = host.runtime();               // created on first use; Panic if it can't be
        out.handle =
            spawn_normal_timer(NormalLoop{&runtime, running, ticks, call, period, host.registry, id});
        return out;
    } catch (...) {
        call->release();  // nothing was launched
        throw;
    }
}

}  // namespace

StartedTimer start_timer(const TimerHost& host, TaskId id, TimerPrecision precision,
                         std::chrono::nanoseconds period, std::unique_ptr<TimerCall> call) {
    StartedTimer t;
    t.id = id;
    try {
        t.running = std::make_shared<std::atomic<bool>>(true);
        t.ticks = std::make_shared<std::atomic<std::uint64_t>>(0);
    } catch (...) {
        call->release();
        throw;
    }
    t.start = monotonic_now();
    Launched launched =
        has_own_thread(precision)
            ? launch_dedicated(std::move(call), host, id, precision, period, t.running, t.ticks)
            : launch_normal(std::move(call), host, id, period, t.running, t.ticks);
    t.handle = std::move(launched.handle);
    t.thread_handle = std::move(launched.thread_handle);
    // The loop runs already: its first call may happen before the registration.
    host.registry->register_task(id, t.running, t.handle, TaskKind::Timer);
    return t;
}

void stop_and_unregister(TaskManager& registry, TaskId id, const RunningFlag& running) {
    running->store(false, std::memory_order_seq_cst);
    registry.unregister(id);
}

double elapsed_secs(Instant start, Instant now) noexcept {
    const std::int64_t ns = (now - start).count();
    return static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9;
}

double actual_frequency(std::uint64_t ticks, double elapsed) noexcept {
    return elapsed > 0.0 ? static_cast<double>(ticks) / elapsed : 0.0;
}

}  // namespace quorix
