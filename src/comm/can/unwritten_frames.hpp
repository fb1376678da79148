#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "runtime/time.hpp"

namespace quorix {

/// Frames handed to a non-blocking CAN device that its I/O task has not finished with yet,
/// over every device of the process. A frame is finished once it is written, or reported on
/// fd 2 and dropped. The interpreter's exit waits on this count so that frames queued at the
/// end of a program still reach the bus.
///
/// Counting costs one atomic operation per frame on each side; a waiter is woken by the
/// finish that brings the count to zero, not by polling. Any thread.
class UnwrittenFrames {
public:
    /// Counts `n` frames about to be queued (negative: take back frames that were refused).
    void add(std::int64_t n) noexcept { count_.fetch_add(n, std::memory_order_seq_cst); }

    /// The I/O task is done with `n` frames; wakes the waiters when none is left.
    void finish(std::int64_t n) noexcept;

    std::int64_t count() const noexcept { return count_.load(std::memory_order_seq_cst); }

    /// Blocks the calling thread until no frame is left or `deadline` passes. The number of
    /// frames left (0 when all were finished).
    std::int64_t wait_until_finished(rt::Instant deadline);

private:
    // Dekker pair with waiters_: finish() lowers count_ then reads waiters_, a waiter raises
    // waiters_ then reads count_ (seq_cst both), so either the waiter sees zero or the
    // finisher sees the waiter and notifies under mu_.
    std::atomic<std::int64_t> count_{0};
    std::atomic<int> waiters_{0};
    std::mutex mu_;
    std::condition_variable cv_;
};

/// The process-wide count, created on first use and never destroyed: I/O tasks may still
/// finish frames while the process exits.
UnwrittenFrames& unwritten_frames();

}  // namespace quorix
