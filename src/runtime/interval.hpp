#pragma once

// Interval: a fixed-period ticker that skips missed ticks.

#include <chrono>

#include "runtime/task.hpp"
#include "runtime/time.hpp"

namespace quorix::rt {

/// How late a tick may be taken and still keep the next deadline at deadline + period.
inline constexpr Duration INTERVAL_LATE_TOLERANCE = std::chrono::milliseconds(5);

/// The deadline that follows a tick due at `deadline` and taken at `now` (skip policy):
/// - taken at most 5 ms after its deadline: deadline + period;
/// - later: now + period - ((now - deadline) mod period), the first point of the grid
///   deadline + k * period that lies after now. Late ticks are never made up in a burst.
/// Saturates at NEVER. A period below 1 ns counts as 1 ns.
Instant next_tick_deadline(Instant deadline, Instant now, Duration period) noexcept;

/// Ticks every `period`, the first tick at `start` (default: construction time). Not
/// thread-safe: one task ticks it.
class Interval {
public:
    /// A period below 1 ns counts as 1 ns.
    explicit Interval(Duration period, Instant start = now()) noexcept
        : period_(period.count() > 0 ? period : Duration(1)), next_(start) {}

    /// Leaf awaitable: completes when the next deadline has passed, gives that deadline and
    /// moves to the following one. A tick awaiter dropped before it completed (a losing
    /// select branch) leaves the Interval as it was.
    class [[nodiscard]] Tick : public PollAwaiter<Tick> {
    public:
        explicit Tick(Interval& iv) noexcept : iv_(&iv) {}
        bool poll(detail::PollContext& cx);
        Instant take() noexcept { return taken_; }

    private:
        Interval* iv_;
        Instant taken_{};
        detail::TimerEntry entry_;
    };

    [[nodiscard]] Tick tick() noexcept { return Tick(*this); }

    Duration period() const noexcept { return period_; }
    /// The deadline of the next tick.
    Instant next_deadline() const noexcept { return next_; }
    /// Makes the next tick due at `deadline`.
    void reset(Instant deadline) noexcept { next_ = deadline; }

private:
    Duration period_;
    Instant next_;
};

}  // namespace quorix::rt
