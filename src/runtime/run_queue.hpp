#pragma once

// RunQueue: the one FIFO queue of runnable tasks that every worker takes from.

#include <condition_variable>
#include <mutex>

#include "runtime/task.hpp"

namespace quorix::rt::detail {

class Reactor;

/// The workers' scheduler: one FIFO queue, intrusive through TaskCore::next_in_queue. An idle
/// worker waits in pop(); one idle worker at a time also waits for the reactor's next timer
/// deadline and fires it itself (Reactor::watch).
class RunQueue final : public Scheduler {
public:
    explicit RunQueue(Reactor& reactor) noexcept : reactor_(reactor) {}

    /// Appends `task` and wakes an idle worker, except for the first task woken by the timers
    /// this worker is firing, which it runs next itself. Any thread.
    void schedule(TaskCore* task) noexcept override;
    /// Takes the task at the head, waiting while the queue is empty; nullptr once stop() was
    /// called and the queue is empty. Worker threads.
    TaskCore* pop();
    /// Ends the waits of pop(). Idempotent.
    void stop();

private:
    Reactor& reactor_;
    std::mutex mu_;
    std::condition_variable cv_;
    TaskCore* head_ = nullptr;    // guarded by mu_
    TaskCore* tail_ = nullptr;    // guarded by mu_
    unsigned idle_workers_ = 0;   // guarded by mu_
    bool timer_watcher_ = false;  // guarded by mu_: an idle worker waits for the next deadline
    bool stopping_ = false;       // guarded by mu_
};

}  // namespace quorix::rt::detail
