#pragma once

// WorkerSeats: how many worker threads run the run queue at once, and how a thread that
// blocks hands its seat over.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quorix::rt::detail {

/// A fixed number of seats; a worker thread runs tasks only while it holds one. A worker
/// about to block gives its seat to a spare thread that waits for one, or to a new thread;
/// it takes a seat again when it comes back, or waits as a spare.
class WorkerSeats {
public:
    /// `seats` seats, all taken: the first worker threads hold them from their start.
    WorkerSeats(unsigned seats, std::chrono::milliseconds keep_alive) noexcept
        : seats_(seats), keep_alive_(keep_alive), seated_(seats) {}

    /// A thread without a seat comes back: takes a free seat, or waits as a spare until one
    /// is offered. False when it should exit (none offered within keep_alive, or stopping).
    bool take();
    /// The calling thread gives its seat up. True when the seat passed straight to a waiting
    /// spare; false when it stays kept for a new thread, which the caller starts (vacate() if
    /// that fails).
    bool release();
    /// The seat kept for a new thread that could not start stays empty until a thread comes
    /// back.
    void vacate();
    /// Ends the waits of spares; take() fails from now on. Idempotent.
    void stop();

private:
    const unsigned seats_;
    const std::chrono::milliseconds keep_alive_;
    std::mutex mu_;
    std::condition_variable cv_;
    // Threads that hold a seat plus seats offered to spares.
    unsigned seated_;              // guarded by mu_
    unsigned waiting_spares_ = 0;  // guarded by mu_: spares not yet offered a seat
    unsigned offers_ = 0;          // guarded by mu_: seats offered, not yet taken
    bool stopping_ = false;        // guarded by mu_
};

}  // namespace quorix::rt::detail
