#include "core/timer/decimal_text.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace quorix {

std::string plain_shortest_decimal(double value) {
    // Shortest round-trip digits come from scientific notation ("-d.ddde+XX"). Fixed notation
    // would not do: with no precision given it spells the exact binary value wherever that
    // takes no more characters, which for integral values above 2^53 is every digit of it.
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const std::string_view sci(buf, ec == std::errc{} ? static_cast<std::size_t>(end - buf) : 0);
    if (!std::isfinite(value)) return std::string(sci);

    std::string out;
    std::string_view rest = sci;
    if (rest.front() == '-') {
        out += '-';
        rest.remove_prefix(1);
    }
    const std::size_t e = rest.find('e');
    std::string digits;
    for (char c : rest.substr(0, e))
        if (c != '.') digits += c;
    std::string_view exp_text = rest.substr(e + 1);
    if (exp_text.front() == '+') exp_text.remove_prefix(1);  // from_chars takes no plus sign
    long exponent = 0;
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

    // Digits before the point: exponent + 1 (may be zero or negative).
    const long int_digits = exponent + 1;
    const auto n = static_cast<long>(digits.size());
    if (int_digits <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-int_digits), '0');
        out += digits;
    } else if (int_digits >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(int_digits - n), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(int_digits));
        out += '.';
        out.append(digits, static_cast<std::size_t>(int_digits));
    }
    return out;
}

}  // namespace quorix
