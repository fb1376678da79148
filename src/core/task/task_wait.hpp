#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

// The time arithmetic of a wait for a task with an optional time-out in milliseconds.

namespace quorix {

/// How long the next sleep of such a wait lasts, `elapsed` after it began: `slice`, or what
/// is left of `timeout_ms` when that is less; nullopt once the time-out has passed (elapsed >=
/// timeout, so a time-out of 0 ends at once). Compared at nanosecond resolution without
/// multiplying the time-out into nanoseconds, which would overflow for huge ones. Pure.
std::optional<std::chrono::nanoseconds> next_wait_sleep(std::optional<std::uint64_t> timeout_ms,
                                                        std::chrono::nanoseconds elapsed,
                                                        std::chrono::nanoseconds slice) noexcept;

}  // namespace quorix
