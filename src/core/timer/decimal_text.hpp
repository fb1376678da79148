#pragma once

#include <string>

namespace quorix {

/// `value` in the fewest significant digits that read back as the same double (those of
/// Python's repr of a float), written in plain notation: never an exponent, zeros padded
/// where the exponent was, and no fractional part when the value is integral. 10.0 gives
/// "10", 2.5 "2.5", 0.001 "0.001", 1.5e300 "15" and 299 zeros, 5e-324 "0." then 323 zeros
/// and "5". Infinities and NaN as std::to_chars writes them ("inf", "-inf", "nan"). Pure.
std::string plain_shortest_decimal(double value);

}  // namespace quorix
