#include "core/timer/period.hpp"

#include <cmath>
#include <limits>

namespace quorix {
namespace {

using u128 = unsigned __int128;

// x * 1e9 rounded to an integer with ties to even, for a finite x >= 0 whose result is known
// to be below 2^63. Exact: x = m * 2^e with a 53-bit integer m, so x * 1e9 = (m * 1e9) * 2^e,
// and m * 1e9 < 2^83 fits in 128 bits.
std::int64_t nanoseconds_of(double x) noexcept {
    int exp = 0;
    const double frac = std::frexp(x, &exp);  // x = frac * 2^exp, 0.5 <= frac < 1
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(frac, 53));
    const int shift = exp - 53;  // x = mantissa * 2^shift
    const u128 scaled = static_cast<u128>(mantissa) * 1'000'000'000u;
    if (shift >= 0) return static_cast<std::int64_t>(scaled << shift);
    if (shift <= -128) return 0;
    const unsigned s = static_cast<unsigned>(-shift);
    const u128 quotient = scaled >> s;
    const u128 remainder = scaled - (quotient << s);
    const u128 half = u128{1} << (s - 1);
    const bool round_up = remainder > half || (remainder == half && (quotient & 1u) != 0);
    return static_cast<std::int64_t>(quotient + (round_up ? 1u : 0u));
}

}  // namespace

std::variant<std::chrono::nanoseconds, PeriodError> period_from_frequency(double frequency_hz) noexcept {
    const double seconds = 1.0 / frequency_hz;
    // Compare in seconds first so that the conversion below never overflows.
    constexpr double MAX_SECONDS = static_cast<double>(MAX_TIMER_PERIOD.count()) / 1e9;
    if (!(seconds <= MAX_SECONDS * 2)) return PeriodError::TooLong;
    const std::int64_t ns = nanoseconds_of(seconds);
    if (ns == 0) return PeriodError::RoundsToZero;
    if (ns > MAX_TIMER_PERIOD.count()) return PeriodError::TooLong;
    return std::chrono::nanoseconds{ns};
}

}  // namespace quorix
