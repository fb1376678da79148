#pragma once

// Instants, deadlines and sleeps on the monotonic clock.

#include <chrono>
#include <cstdint>

#include "runtime/task.hpp"
#include "runtime/timer_entry.hpp"

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
