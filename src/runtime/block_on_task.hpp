#pragma once

// BlockOnTask: a task driven on the thread that called Runtime::block_on, and the scheduler
// that parks that thread between its polls.

#include <atomic>
#include <cstdint>
#include <utility>

#include "runtime/join_handle.hpp"
#include "runtime/task.hpp"

namespace quorix::rt::detail {

/// The scheduler of a block_on task: a wake-up sets a flag and unparks the driving thread.
class ParkingScheduler final : public Scheduler {
public:
    void schedule(TaskCore* task) noexcept override;
    /// Returns once schedule() has been called since the last return; parks the thread in
    /// between, through the park hook if one is set.
    void wait_runnable();
    /// One park: returns after an unpark, possibly one that came before the call.
    void park() noexcept;

private:
    // A Linux futex word: 0 empty, -1 a thread sleeps on it, 1 an unpark is pending.
    std::atomic<std::int32_t> parker_{0};
    // Set by schedule() (release), consumed by wait_runnable() (acquire).
    std::atomic<bool> runnable_{true};
};

template <class T>
class BlockOnTask final : public JoinState<T> {
public:
    // Two references: the execution one and the BlockOnOwner's. Created SCHEDULED.
    BlockOnTask(Runtime& rt, Task<T> body)
        : JoinState<T>(rt, sched_, 2, TaskCore::SCHEDULED), body_(std::move(body)) {
        this->cx_.task = this;
        this->cx_.resume_point = body_.handle();
    }
    ParkingScheduler& parking() noexcept { return sched_; }
    /// Destroys the frame of a task that will never finish (its driver is unwinding).
    void abandon() noexcept { body_ = Task<T>(); }

private:
    bool poll_body() override {
        if (!drive(this->cx_, this->is_cancelled())) return false;
        if (!body_.done()) return false;
        this->settle_from(body_);
        return true;
    }

    ParkingScheduler sched_;  // the base keeps only its address
    Task<T> body_;
};

/// Owns a block_on task. When the driver unwinds (an exception from the park hook, a
/// forced unwind) it destroys the frame, so that its registrations go away.
template <class T>
class BlockOnOwner {
public:
    explicit BlockOnOwner(BlockOnTask<T>* t) noexcept : t_(t) {}
    ~BlockOnOwner() {
        if (!t_->is_done()) {
            t_->abandon();
            t_->release();  // the execution reference: nobody will run the task again
        }
        t_->release();
    }
    BlockOnOwner(const BlockOnOwner&) = delete;
    BlockOnOwner& operator=(const BlockOnOwner&) = delete;
    BlockOnTask<T>* operator->() const noexcept { return t_; }

private:
    BlockOnTask<T>* t_;
};

/// True on a worker thread of any Runtime that holds its seat (runtime.cpp).
bool holds_worker_seat() noexcept;
/// Throws Panic when the calling thread holds a worker seat (runtime.cpp).
void check_not_on_worker();
/// Hands this thread's worker seat to another thread if it holds one (BlockingSection), and
/// a blocking-pool thread's place in the pool's bound (runtime.cpp).
void release_worker_seat();

}  // namespace quorix::rt::detail
