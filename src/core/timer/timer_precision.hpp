#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

namespace quorix {

/// How a timer waits for its deadlines. `Normal` ticks on the shared runtime and calls on its
/// blocking pool; `High` and `Realtime` own a thread that sleeps coarsely and busy-waits the
/// last stretch before each deadline (the spin window).
enum class TimerPrecision : std::uint8_t { Normal = 0, High = 1, Realtime = 2 };

/// "normal", "high", "realtime": what Python sees.
constexpr std::string_view python_name(TimerPrecision p) noexcept {
    switch (p) {
        case TimerPrecision::High: return "high";
        case TimerPrecision::Realtime: return "realtime";
        case TimerPrecision::Normal: break;
    }
    return "normal";
}

/// "High", "Realtime" (and "Normal", never used): the label in thread names.
constexpr std::string_view thread_label(TimerPrecision p) noexcept {
    switch (p) {
        case TimerPrecision::High: return "High";
        case TimerPrecision::Realtime: return "Realtime";
        case TimerPrecision::Normal: break;
    }
    return "Normal";
}

/// Busy-wait before each deadline: 0.8 ms for High, 3 ms for Realtime (the longer spin is the
/// more precise one), none for Normal.
constexpr std::chrono::nanoseconds spin_window(TimerPrecision p) noexcept {
    switch (p) {
        case TimerPrecision::High: return std::chrono::nanoseconds{800'000};
        case TimerPrecision::Realtime: return std::chrono::nanoseconds{3'000'000};
        case TimerPrecision::Normal: break;
    }
    return std::chrono::nanoseconds{0};
}

constexpr bool has_own_thread(TimerPrecision p) noexcept { return p != TimerPrecision::Normal; }

}  // namespace quorix
