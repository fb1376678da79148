#include "runtime/run_queue.hpp"

#include <chrono>
#include <cstdint>

#include "runtime/reactor.hpp"

namespace quorix::rt::detail {

namespace {

// The queue whose timers this worker is firing right now: the first task they wake is
// queued without waking another worker, since this one runs it next.
thread_local RunQueue* FIRING_FOR = nullptr;

}  // namespace

void RunQueue::schedule(TaskCore* task) noexcept {
    bool wake;
    {
        std::lock_guard lock(mu_);
        task->next_in_queue = nullptr;
        (tail_ ? tail_->next_in_queue : head_) = task;
        tail_ = task;
        wake = idle_workers_ > 0;
    }
    if (FIRING_FOR == this) {
        FIRING_FOR = nullptr;
        return;
    }
    if (wake) cv_.notify_one();
}

TaskCore* RunQueue::pop() {
    std::unique_lock lock(mu_);
    while (!head_) {
        if (stopping_) return nullptr;
        ++idle_workers_;
        const std::int64_t deadline = timer_watcher_ ? Reactor::NO_DEADLINE : reactor_.watch();
        if (deadline == Reactor::NO_DEADLINE) {
            cv_.wait(lock);
            --idle_workers_;
            continue;
        }
        // One idle worker waits for the next timer deadline itself and fires it: the task
        // it wakes then runs on this thread, with no hop through the reactor thread (which
        // stays armed as the backstop).
        timer_watcher_ = true;
        cv_.wait_until(lock, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline)));
        timer_watcher_ = false;
        --idle_workers_;
        lock.unlock();  // waking tasks takes mu_
        if (std::chrono::steady_clock::now().time_since_epoch().count() >= deadline) {
            FIRING_FOR = this;
            reactor_.fire_timers();
            FIRING_FOR = nullptr;
        } else {
            reactor_.unwatch();
        }
        lock.lock();
    }
    TaskCore* t = head_;
    head_ = t->next_in_queue;
    if (!head_) tail_ = nullptr;
    return t;
}

void RunQueue::stop() {
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
    }
    cv_.notify_all();
}

}  // namespace quorix::rt::detail
