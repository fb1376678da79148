#include "core/manager/task_registry.hpp"

#include <time.h>

#include <cerrno>
#include <mutex>
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

TaskManager& task_manager() {
    static TaskManager* const TASK_MANAGER =
        new TaskManager();  // leaked on purpose: no destructor races exit
    return *TASK_MANAGER;
}

}  // namespace quorix
