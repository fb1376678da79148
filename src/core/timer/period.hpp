#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>
#include <variant>

namespace quorix {

/// The longest period a timer accepts: 2^61 ns, about 73 years. Deadlines are signed 64-bit
/// nanoseconds of the monotonic clock; with this bound, "now + 2 periods" cannot overflow
/// for any uptime below about 146 years.
inline constexpr std::chrono::nanoseconds MAX_TIMER_PERIOD{std::int64_t{1} << 61};

/// Why a frequency yields no usable period.
enum class PeriodError : std::uint8_t {
    RoundsToZero,  // 1/f is below half a nanosecond (infinity, or above about 2e9 Hz)
    TooLong,       // 1/f exceeds MAX_TIMER_PERIOD (or is not finite)
};

/// The ValueError text of a frequency whose period is unusable.
constexpr std::string_view period_error_text(PeriodError error) noexcept {
    if (error == PeriodError::RoundsToZero)
        return "frequency_hz is too high for a timer: its period (1 / frequency_hz) rounds to 0 ns";
    return "frequency_hz is too low for a timer: its period (1 / frequency_hz) exceeds the longest supported "
           "period of 2^61 ns (about 73 years)";
}

/// 1.0 / frequency_hz in double precision, rounded to the nearest nanosecond with ties to
/// even, exactly (no intermediate rounding): 3 Hz gives 333,333,333 ns, 1000 Hz 1 ms.
/// `frequency_hz` has passed the positivity check (> 0, not NaN). Pure.
std::variant<std::chrono::nanoseconds, PeriodError> period_from_frequency(double frequency_hz) noexcept;

}  // namespace quorix
