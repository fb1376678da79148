#include "core/manager/task_registry.hpp"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace quorix {
namespace {

bool is_running(const TaskEntry& e) noexcept {
    return e.running && e.running->load(std::memory_order_seq_cst);
}

std::chrono::nanoseconds monotonic_now() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
}

// Relative sleep on the monotonic clock that resumes after a signal until the whole time passed.
void sleep_monotonic(std::chrono::nanoseconds d) noexcept {
    timespec req{static_cast<time_t>(d.count() / 1'000'000'000),
                 static_cast<long>(d.count() % 1'000'000'000)};
    timespec rem{};
    while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &req, &rem) == EINTR) req = rem;
}

}  // namespace

template <class Pred>
std::size_t TaskManager::count_if(Pred pred) const {
    std::shared_lock lock(mutex_);
    std::size_t n = 0;
    for (const auto& [id, entry] : tasks_) n += pred(entry) ? 1 : 0;
    return n;
}

void TaskManager::register_task(TaskId id, RunningFlag running, TaskSlot handle, TaskKind kind,
                                std::optional<std::string> name) {
    TaskEntry entry{std::move(name), std::move(running), std::move(handle), kind};
    {
        std::unique_lock lock(mutex_);
        // A replaced entry is swapped out and released after the lock: dropping the last
        // reference to a task slot may run arbitrary destructors.
        std::swap(tasks_[id], entry);
    }
}

void TaskManager::unregister(TaskId id) {
    TaskEntry removed;
    {
        std::unique_lock lock(mutex_);
        auto it = tasks_.find(id);
        if (it == tasks_.end()) return;
        removed = std::move(it->second);
        tasks_.erase(it);
    }
}

std::size_t TaskManager::running_count() const { return count_if(is_running); }

std::size_t TaskManager::timer_count() const {
    return count_if([](const TaskEntry& e) { return e.kind == TaskKind::Timer && is_running(e); });
}

std::size_t TaskManager::async_task_count() const {
    return count_if([](const TaskEntry& e) { return e.kind == TaskKind::AsyncTask && is_running(e); });
}

std::size_t TaskManager::total_count() const {
    std::shared_lock lock(mutex_);
    return tasks_.size();
}

StatusSummary TaskManager::status_summary() const {
    StatusSummary s;
    std::shared_lock lock(mutex_);
    for (const auto& [id, entry] : tasks_) {
        if (!is_running(entry))
            ++s.stopped;
        else if (entry.kind == TaskKind::Timer)
            ++s.running_timers;
        else
            ++s.running_tasks;
    }
    s.total = tasks_.size();
    return s;
}

void TaskManager::stop_all() {
    // The flag goes first so a timer that ticks while we scan already sees the shutdown.
    shutdown_requested_.store(true, std::memory_order_seq_cst);
    std::shared_lock lock(mutex_);  // the flags are atomics: readers suffice
    for (auto& [id, entry] : tasks_)
        if (entry.running) entry.running->store(false, std::memory_order_seq_cst);
}

bool TaskManager::wait_all(std::optional<std::uint64_t> timeout_ms) const {
    return wait_all_with(timeout_ms, monotonic_now, sleep_monotonic);
}

void TaskManager::cleanup() {
    std::vector<TaskEntry> removed;  // released after the lock, like unregister
    {
        std::unique_lock lock(mutex_);
        for (auto it = tasks_.begin(); it != tasks_.end();) {
            if (is_running(it->second)) {
                ++it;
                continue;
            }
            removed.push_back(std::move(it->second));
            it = tasks_.erase(it);
        }
    }
}

void TaskManager::before_fork() { mutex_.lock(); }

void TaskManager::after_fork_in_parent() { mutex_.unlock(); }

void TaskManager::after_fork_in_child() noexcept {
    // Only this thread exists, and the map was not being changed when fork() copied it. The
    // old lock is written over, not destroyed: unlocking it here is not possible (glibc
    // tells a writer by its thread id, which the child no longer has).
    new (&mutex_) std::shared_mutex();
    for (auto& [id, entry] : tasks_)
        if (entry.running) entry.running->store(false, std::memory_order_seq_cst);
}

namespace {

// The process's registry once it exists, for the fork handlers (which must not run its
// once-only creation: in a child that could wait for a thread that is not there).
std::atomic<TaskManager*> FORK_REGISTRY{nullptr};

TaskManager* create_task_manager() {
    auto* manager = new TaskManager();  // leaked on purpose: no destructor races exit
    FORK_REGISTRY.store(manager, std::memory_order_release);
    // Fails only without memory; fork() then copies the registry as it finds it.
    (void)::pthread_atfork([] { FORK_REGISTRY.load(std::memory_order_acquire)->before_fork(); },
                           [] { FORK_REGISTRY.load(std::memory_order_acquire)->after_fork_in_parent(); },
                           [] { FORK_REGISTRY.load(std::memory_order_acquire)->after_fork_in_child(); });
    return manager;
}

}  // namespace

TaskManager& task_manager() {
    static TaskManager* const TASK_MANAGER = create_task_manager();
    return *TASK_MANAGER;
}

}  // namespace quorix
