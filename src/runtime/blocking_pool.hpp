#pragma once

// BlockingPool: threads for blocking jobs, created on demand up to a bound; idle ones leave.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "runtime/blocking_job.hpp"

namespace quorix::rt::detail {

/// Runs BlockingJobs on threads of its own, at most `max_threads` at once; further jobs wait
/// in one FIFO queue. A thread is started when a job finds no idle one and the pool is below
/// its bound; an idle thread leaves after `keep_alive`.
class BlockingPool {
public:
    /// Starts one pool thread as start_thread (base/thread.hpp) does: 0 or an error number.
    using StartThread = int (*)(const char* name, void (*fn)(void*), void* arg);

    /// `start` nullptr means start_thread. No thread is started before the first job.
    BlockingPool(unsigned max_threads, std::chrono::milliseconds keep_alive, StartThread start) noexcept
        : max_threads_(max_threads), keep_alive_(keep_alive), start_(start) {}
    /// stop() must have returned.
    ~BlockingPool() = default;
    BlockingPool(const BlockingPool&) = delete;
    BlockingPool& operator=(const BlockingPool&) = delete;

    /// Queues `job` and returns at once; any thread. It runs on an idle thread, a new one, or
    /// the next thread to finish its job, in the order of submission. If no thread can be
    /// started while none runs, every queued job is failed ("Failed to start a blocking-pool
    /// thread: <os error>").
    void submit(BlockingJob* job);

    /// On a pool thread whose job is about to wait for the runtime (a task it waits for may
    /// be queued behind it): the thread stops counting towards the bound so that the queue
    /// moves on. It counts again, or exits if the pool is full, when its job ends. Does
    /// nothing on other threads, or when called again during the same job.
    static void lend_current_thread();

    /// Threads alive, counted or lent (tests, diagnostics).
    unsigned thread_count() const noexcept;

    /// Makes the threads leave once the queue is empty, and waits until every one has exited.
    void stop();

private:
    static void thread_main(void* self);
    void serve_queue(std::unique_lock<std::mutex>& lock);
    void lend();
    void thread_exited(std::unique_lock<std::mutex>& lock);

    const unsigned max_threads_;
    const std::chrono::milliseconds keep_alive_;
    const StartThread start_;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    BlockingJob* jobs_head_ = nullptr;  // guarded by mu_
    BlockingJob* jobs_tail_ = nullptr;  // guarded by mu_
    unsigned threads_ = 0;              // guarded by mu_: threads counted towards the bound
    unsigned lent_ = 0;                 // guarded by mu_: threads whose job waits, uncounted
    unsigned idle_ = 0;                 // guarded by mu_
    unsigned notified_ = 0;             // guarded by mu_: idle threads already signalled
    bool stopping_ = false;             // guarded by mu_
};

}  // namespace quorix::rt::detail
