#pragma once

#include <cstddef>

namespace quorix {

/// Prefetch hints for the `lines` cache lines from `at` on. A hint reads nothing and never
/// faults, so `at` may be stale.
inline void prefetch_lines(const void* at, std::size_t lines) noexcept {
    for (std::size_t i = 0; i < lines; ++i) __builtin_prefetch(static_cast<const char*>(at) + 64 * i);
}

}  // namespace quorix
