#pragma once

// Instants, deadlines and sleeps on the monotonic clock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "runtime/task.hpp"

namespace quorix::rt {

/// A reading of CLOCK_MONOTONIC with nanosecond resolution.
using Instant = std::chrono::steady_clock::time_point;
using Duration = std::chrono::nanoseconds;

/// The deadline that never passes.
inline constexpr Instant NEVER = Instant::max();

inline Instant now() noexcept { return std::chrono::steady_clock::now(); }

/// `from + d`, or NEVER when the sum cannot be represented (a negative `d` counts as 0).
template <class Rep, class Period>
Instant deadline_after(std::chrono::duration<Rep, Period> d, Instant from = now()) noexcept {
    using Wide = std::chrono::duration<long double, std::nano>;
    const long double ns = std::chrono::duration_cast<Wide>(d).count();
    if (!(ns > 0)) return from;
    const long double room = static_cast<long double>((NEVER - from).count());
    if (ns >= room) return NEVER;
    return from + Duration(static_cast<std::int64_t>(ns));
}
inline Instant deadline_after(Duration d, Instant from = now()) noexcept {
    if (d.count() <= 0) return from;
    if (d >= NEVER - from) return NEVER;
    return from + d;
}

namespace detail {

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
    bool poll(Instant deadline, PollContext& cx);
    /// Removes the entry from the heap if it is still queued. Any thread.
    void cancel() noexcept;
};

}  // namespace detail

/// Completes at `deadline` (at once if it has passed; never for NEVER). Leaf awaitable.
/// Resolution is that of the reactor's timerfd (nanoseconds; timer slack of 1 ns on the
/// reactor thread).
class [[nodiscard]] Sleep : public PollAwaiter<Sleep> {
public:
    explicit Sleep(Instant deadline) noexcept : deadline_(deadline) {}

    bool poll(detail::PollContext& cx) { return entry_.poll(deadline_, cx); }
    void take() noexcept {}
    Instant deadline() const noexcept { return deadline_; }

private:
    Instant deadline_;
    detail::TimerEntry entry_;
};

[[nodiscard]] inline Sleep sleep_until(Instant deadline) noexcept { return Sleep(deadline); }

/// Sleeps for `d` from now; a duration too long to represent sleeps forever.
template <class Rep, class Period>
[[nodiscard]] Sleep sleep(std::chrono::duration<Rep, Period> d) noexcept {
    return Sleep(deadline_after(d));
}

}  // namespace quorix::rt
