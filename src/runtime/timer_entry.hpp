#pragma once

// TimerEntry: the record of one deadline that the reactor's timer heap orders. The owner's
// side of it (poll, cancel) lives with the sleeps, in time.cpp.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "runtime/task.hpp"

namespace quorix::rt::detail {

class Reactor;

/// One pending deadline in the reactor's timer heap. Lives inside an awaiter; the awaiter's
/// destructor removes it. Fields other than `fired` are guarded by the reactor's timer lock.
struct TimerEntry {
    static constexpr std::size_t NOT_QUEUED = std::numeric_limits<std::size_t>::max();
    std::int64_t deadline_ns = 0;  // CLOCK_MONOTONIC nanoseconds
    std::uint64_t seq = 0;         // insertion order: equal deadlines fire first-in first-out
    std::size_t index = NOT_QUEUED;
    Reactor* reactor = nullptr;  // set while queued or fired
    Waker waker;
    // Set by the reactor (release) when the deadline passed; read by the owner (acquire).
    std::atomic<bool> fired{false};

    TimerEntry() = default;
    TimerEntry(const TimerEntry&) noexcept {}  // copies are fresh: registrations never move
    TimerEntry& operator=(const TimerEntry&) = delete;
    ~TimerEntry() { cancel(); }

    /// Queues the entry (if not yet) to wake `cx.task` at `deadline`. True when the deadline
    /// has already passed.
    bool poll(std::chrono::steady_clock::time_point deadline, PollContext& cx);
    /// Removes the entry from the heap if it is still queued. Any thread.
    void cancel() noexcept;
};

}  // namespace quorix::rt::detail
