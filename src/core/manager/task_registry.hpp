#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>

// The process-wide registry of timers and async tasks: hands out task ids, counts entries,
// clears their running flags and polls until none runs. It never runs, joins or aborts work.

namespace quorix {

using TaskId = std::uint64_t;

enum class TaskKind : std::uint8_t { Timer = 0, AsyncTask = 1 };

/// Shared between the entry, the work and (for timers) the handle. True from registration
/// while the work is meant to run; only ever cleared.
using RunningFlag = std::shared_ptr<std::atomic<bool>>;

/// The slot holding the work's join handle, type-erased so the registry does not depend on
/// the runtime. The entry keeps it alive and never looks inside.
using TaskSlot = std::shared_ptr<void>;

struct TaskEntry {
    std::optional<std::string> name;
    RunningFlag running;
    TaskSlot handle;
    TaskKind kind = TaskKind::Timer;
};

/// One consistent pass: running_timers + running_tasks + stopped == total.
struct StatusSummary {
    std::size_t running_timers = 0;
    std::size_t running_tasks = 0;
    std::size_t stopped = 0;
    std::size_t total = 0;

    friend bool operator==(const StatusSummary&, const StatusSummary&) = default;
};

/// Interval between the checks of wait_all.
inline constexpr std::chrono::milliseconds WAIT_ALL_POLL{10};

/// All operations may be called from any thread, with or without the interpreter lock. No lock
/// is held while sleeping or while an entry's last reference is dropped. Nothing fails.
class TaskManager {
public:
    TaskManager() = default;
    TaskManager(const TaskManager&) = delete;
    TaskManager& operator=(const TaskManager&) = delete;

    /// A fresh id: 1, 2, 3, ... from this manager's counter (for task_manager(), the process's
    /// TASK_ID_COUNTER). Lock-free.
    TaskId next_task_id() noexcept { return id_counter_.fetch_add(1, std::memory_order_acq_rel); }

    /// Enters the work under `id`, replacing an entry of the same id. `running` should be a
    /// live flag; a null one counts as stopped. Write lock.
    void register_task(TaskId id, RunningFlag running, TaskSlot handle, TaskKind kind,
                       std::optional<std::string> name = std::nullopt);
    /// Removes the entry of `id`; an unknown id is ignored. Write lock.
    void unregister(TaskId id);

    /// Entries whose flag is set (of the given kind). Read lock, one scan, no allocation.
    std::size_t running_count() const;
    std::size_t timer_count() const;
    std::size_t async_task_count() const;
    /// Entries, running or not.
    std::size_t total_count() const;
    StatusSummary status_summary() const;

    /// Sets the shutdown flag (first, before any lock), then clears every entry's flag under
    /// the read lock. Entries stay; nothing waits.
    void stop_all();

    /// Polls running_count every 10 ms until it is 0 (true) or `timeout_ms` has elapsed at a
    /// check (false). The count comes first, so an idle registry gives true at once, even for a
    /// time-out of 0. Blocks the calling thread on ordinary sleeps with no lock held: callers
    /// holding the interpreter lock release it around the call.
    bool wait_all(std::optional<std::uint64_t> timeout_ms) const;

    /// wait_all with its clock and sleep supplied: `now()` returns a monotonic
    /// std::chrono::nanoseconds, `sleep(d)` sleeps for d. For tests that pin the polling schedule.
    template <class Now, class Sleep>
    bool wait_all_with(std::optional<std::uint64_t> timeout_ms, Now&& now, Sleep&& sleep) const;

    /// Removes every entry whose flag is clear; running entries stay. Write lock.
    void cleanup();

    /// fork() support; task_manager() installs these for the process's registry. The lock is
    /// held across fork() so that the child copies a consistent map. In the child, whose only
    /// thread is the one that forked, every entry is marked stopped (its work ran on threads
    /// the child does not have, so nothing waits for it there) and the lock is made anew:
    /// the copy would still count the parent's holder.
    void before_fork();
    void after_fork_in_parent();
    void after_fork_in_child() noexcept;

    /// Set by stop_all and never cleared. Lock-free.
    bool is_shutdown_requested() const noexcept {
        return shutdown_requested_.load(std::memory_order_seq_cst);
    }

private:
    template <class Pred>
    std::size_t count_if(Pred pred) const;

    mutable std::shared_mutex mutex_;
    std::unordered_map<TaskId, TaskEntry> tasks_;  // guarded by mutex_
    std::atomic<bool> shutdown_requested_{false};
    std::atomic<std::uint64_t> id_counter_{1};
};

/// The process's registry (TASK_MANAGER), created on first use and never destroyed.
TaskManager& task_manager();

/// task_manager().next_task_id(): ids shared by timers and async tasks, never reused.
inline TaskId next_task_id() noexcept { return task_manager().next_task_id(); }

template <class Now, class Sleep>
bool TaskManager::wait_all_with(std::optional<std::uint64_t> timeout_ms, Now&& now, Sleep&& sleep) const {
    const std::chrono::nanoseconds start = now();
    for (;;) {
        if (running_count() == 0) return true;
        if (timeout_ms) {
            // elapsed >= timeout ms, compared at nanosecond resolution without multiplying the
            // time-out into nanoseconds (which could overflow for huge time-outs).
            const auto elapsed_ns = static_cast<std::uint64_t>((now() - start).count());
            if (elapsed_ns / 1'000'000 >= *timeout_ms) return false;
        }
        sleep(std::chrono::nanoseconds(WAIT_ALL_POLL));
    }
}

}  // namespace quorix
