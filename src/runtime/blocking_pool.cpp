#include "runtime/blocking_pool.hpp"

#include <string>
#include <utility>

#include "base/io_error.hpp"
#include "base/thread.hpp"

namespace quorix::rt::detail {

namespace {

// A blocking-pool thread: its pool, and whether it counts towards the pool's bound (it
// stops counting while the job it runs waits for the runtime, see lend_current_thread).
struct PoolTls {
    BlockingPool* pool = nullptr;
    bool counted = false;
};
thread_local PoolTls POOL;

void fail_jobs(BlockingJob* list, int err) {
    const std::string why = "Failed to start a blocking-pool thread: " + IoError::from_errno(err).text;
    while (list) std::exchange(list, list->next_job)->fail(why);
}

}  // namespace

void BlockingPool::submit(BlockingJob* job) {
    std::unique_lock lock(mu_);
    job->next_job = nullptr;
    (jobs_tail_ ? jobs_tail_->next_job : jobs_head_) = job;
    jobs_tail_ = job;
    serve_queue(lock);
}

// Makes sure a thread will take the queued jobs: wakes an idle one, or starts one while
// the pool is below its bound; otherwise they wait for a busy thread, in order.
void BlockingPool::serve_queue(std::unique_lock<std::mutex>& lock) {
    if (!jobs_head_) return;
    if (idle_ > notified_) {
        ++notified_;
        lock.unlock();
        cv_.notify_one();
        return;
    }
    if (threads_ >= max_threads_) return;  // queued for a busy thread
    ++threads_;
    lock.unlock();
    const int err = start_ ? start_("quorix-blocking", &thread_main, this)
                           : start_thread("quorix-blocking", &thread_main, this);
    if (err == 0) return;
    lock.lock();
    --threads_;
    cv_.notify_all();
    if (threads_ + lent_ > 0) return;  // a running thread will take it
    // Nobody can run the queued jobs: fail them rather than leave their joiners hanging.
    BlockingJob* failed = std::exchange(jobs_head_, nullptr);
    jobs_tail_ = nullptr;
    lock.unlock();
    fail_jobs(failed, err);
}

void BlockingPool::lend_current_thread() {
    if (POOL.pool && POOL.counted) POOL.pool->lend();
}

void BlockingPool::lend() {
    POOL.counted = false;
    std::unique_lock lock(mu_);
    --threads_;
    ++lent_;
    serve_queue(lock);
}

void BlockingPool::thread_main(void* p) {
    auto* pool = static_cast<BlockingPool*>(p);
    POOL = {pool, true};
    std::unique_lock lock(pool->mu_);
    for (;;) {
        while (!pool->jobs_head_) {
            if (pool->stopping_) return pool->thread_exited(lock);
            ++pool->idle_;
            const bool timed_out = pool->cv_.wait_for(lock, pool->keep_alive_) == std::cv_status::timeout;
            --pool->idle_;
            if (pool->notified_ > 0) --pool->notified_;
            if (timed_out && !pool->jobs_head_) return pool->thread_exited(lock);
        }
        BlockingJob* job = pool->jobs_head_;
        pool->jobs_head_ = job->next_job;
        if (!pool->jobs_head_) pool->jobs_tail_ = nullptr;
        lock.unlock();
        {
            // A forced unwind out of the job still counts this thread out.
            struct Recount {
                BlockingPool* pool;
                bool armed = true;
                ~Recount() {
                    if (!armed) return;
                    std::lock_guard l(pool->mu_);
                    --(POOL.counted ? pool->threads_ : pool->lent_);
                    POOL = {};
                    pool->cv_.notify_all();
                }
            } recount{pool};
            job->run_job();
            recount.armed = false;
        }
        lock.lock();
        if (!POOL.counted) {
            // Lent while its job waited: count again if the pool has room, else leave.
            --pool->lent_;
            if (pool->stopping_ || pool->threads_ >= pool->max_threads_) {
                POOL = {};
                pool->cv_.notify_all();
                return;
            }
            ++pool->threads_;
            POOL.counted = true;
        }
    }
}

void BlockingPool::thread_exited(std::unique_lock<std::mutex>& lock) {
    --threads_;
    POOL = {};
    cv_.notify_all();
    lock.unlock();
}

unsigned BlockingPool::thread_count() const noexcept {
    std::lock_guard lock(mu_);
    return threads_ + lent_;
}

void BlockingPool::stop() {
    std::unique_lock lock(mu_);
    stopping_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return threads_ + lent_ == 0; });
}

}  // namespace quorix::rt::detail
