#pragma once

#include <chrono>

#include "base/cpu_relax.hpp"

namespace quorix {

/// An instant of the monotonic clock (CLOCK_MONOTONIC), as nanoseconds since its origin.
using Instant = std::chrono::nanoseconds;

/// Reads CLOCK_MONOTONIC (vDSO, no system call). Any thread.
Instant monotonic_now() noexcept;

/// Sleeps the calling thread for `d` with relative clock_nanosleep sleeps on the monotonic
/// clock, resuming after signal interruptions until the whole time has passed.
void sleep_monotonic(std::chrono::nanoseconds d);

/// How long before its target precision_sleep_until_sync calls its `prepare` step.
inline constexpr std::chrono::nanoseconds PREPARE_LEAD{20'000};

/// Returns at the first clock reading at or after `target`: sleeps (sleep_monotonic) while
/// more than `spin_window` remains, then busy-waits with cpu_relax(), never yielding. Once,
/// PREPARE_LEAD before `target` (at once if less remains), it calls `prepare()`, unless the
/// clock has reached `target` by then. Holds no lock. Not noexcept: clock_nanosleep is a
/// cancellation point.
template <class F>
void precision_sleep_until_sync(Instant target, std::chrono::nanoseconds spin_window, F&& prepare) {
    const Instant now = monotonic_now();
    if (now >= target) return;
    if (const auto remaining = target - now; remaining > spin_window)
        sleep_monotonic(remaining - spin_window);
    const Instant prepare_at = target - PREPARE_LEAD;
    Instant t = monotonic_now();
    while (t < prepare_at) {
        cpu_relax();
        t = monotonic_now();
    }
    if (t >= target) return;
    prepare();
    while (monotonic_now() < target) cpu_relax();
}

/// precision_sleep_until_sync with nothing to prepare.
void precision_sleep_until_sync(Instant target, std::chrono::nanoseconds spin_window);

}  // namespace quorix
