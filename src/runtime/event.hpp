#pragma once

// A one-way event for threads outside the runtime: set once, waited for with an optional
// deadline, woken at once (a futex, not a poll).

#include <atomic>
#include <chrono>
#include <cstdint>

namespace quorix::rt {

class CompletionEvent {
public:
    CompletionEvent() = default;
    CompletionEvent(const CompletionEvent&) = delete;
    CompletionEvent& operator=(const CompletionEvent&) = delete;

    /// Wakes every thread in wait_for(), now and later; any thread, never blocks.
    void notify() noexcept;

    /// Sleeps until notify() has been called since `seen` was read by seq(), or `timeout`
    /// has passed. May also return early (a signal): the caller re-checks its condition.
    void wait_for(std::uint32_t seen, std::chrono::nanoseconds timeout) const noexcept;

    /// wait_for, but first watches the sequence for up to `spin` (within `timeout`) without
    /// sleeping, when this process may run on more than one processor: a notify() that comes
    /// that soon then needs no wake-up of a sleeping thread on either side.
    void spin_then_wait_for(std::uint32_t seen, std::chrono::nanoseconds timeout,
                            std::chrono::nanoseconds spin) const noexcept;

    /// The value to pass to wait_for(): read it before checking the condition that
    /// notify() announces, so a notify() in between is never missed.
    std::uint32_t seq() const noexcept { return seq_.load(std::memory_order_seq_cst); }

private:
    std::atomic<std::uint32_t> seq_{0};
    mutable std::atomic<std::uint32_t> waiters_{0};
};

}  // namespace quorix::rt
