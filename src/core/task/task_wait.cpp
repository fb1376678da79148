#include "core/task/task_wait.hpp"

namespace quorix {

std::optional<std::chrono::nanoseconds> next_wait_sleep(std::optional<std::uint64_t> timeout_ms,
                                                        std::chrono::nanoseconds elapsed,
                                                        std::chrono::nanoseconds slice) noexcept {
    if (!timeout_ms) return slice;
    const auto ns = static_cast<std::uint64_t>(elapsed.count());
    if (ns / 1'000'000 >= *timeout_ms) return std::nullopt;
    // More than a second of milliseconds left: more than any slice, and too many to convert.
    const std::uint64_t left_ns =
        *timeout_ms - ns / 1'000'000 > 1'000'000'000 ? UINT64_MAX : *timeout_ms * 1'000'000 - ns;
    if (left_ns < static_cast<std::uint64_t>(slice.count()))
        return std::chrono::nanoseconds(static_cast<std::int64_t>(left_ns));
    return slice;
}

}  // namespace quorix
