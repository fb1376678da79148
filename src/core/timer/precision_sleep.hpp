#pragma once

#include <chrono>

namespace quorix {

/// An instant of the monotonic clock (CLOCK_MONOTONIC), as nanoseconds since its origin.
using Instant = std::chrono::nanoseconds;

/// Reads CLOCK_MONOTONIC (vDSO, no system call). Any thread.
Instant monotonic_now() noexcept;

/// The processor's spin-wait hint: `pause` on x86-64, `isb` on AArch64, nothing elsewhere.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("isb" ::: "memory");
#endif
}

/// Sleeps the calling thread for `d` with relative clock_nanosleep sleeps on the monotonic
/// clock, resuming after signal interruptions until the whole time has passed.
void sleep_monotonic(std::chrono::nanoseconds d);

/// Returns at the first clock reading at or after `target`: sleeps (sleep_monotonic) while
/// more than `spin_window` remains, then busy-waits with cpu_relax(), never yielding.
/// Holds no lock. Not noexcept: clock_nanosleep is a cancellation point.
void precision_sleep_until_sync(Instant target, std::chrono::nanoseconds spin_window);

}  // namespace quorix
