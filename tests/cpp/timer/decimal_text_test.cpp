#include "core/timer/decimal_text.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace quorix {
namespace {

struct DecimalCase {
    double value;
    std::string expected;
};

class PlainShortestDecimal : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(PlainShortestDecimal, WritesTheShortestRoundTripDigitsWithoutAnExponent) {
    EXPECT_EQ(plain_shortest_decimal(GetParam().value), GetParam().expected);
}

std::string digits_then_zeros(const std::string& digits, std::size_t zeros) {
    return digits + std::string(zeros, '0');
}

INSTANTIATE_TEST_SUITE_P(
    Values, PlainShortestDecimal,
    ::testing::Values(
        DecimalCase{10.0, "10"}, DecimalCase{2.5, "2.5"}, DecimalCase{0.001, "0.001"}, DecimalCase{0.0, "0"},
        DecimalCase{1.0, "1"}, DecimalCase{0.1 + 0.2, "0.30000000000000004"},
        // Integral and beyond 2^53: the shortest digits, then zeros, not the exact binary value.
        DecimalCase{1.5e300, digits_then_zeros("15", 299)}, DecimalCase{1e23, digits_then_zeros("1", 23)},
        DecimalCase{9007199254740992.0, "9007199254740992"},
        DecimalCase{std::numeric_limits<double>::max(), digits_then_zeros("17976931348623157", 292)},
        // Subnormals: a point, the zeros the exponent stands for, the digits.
        DecimalCase{5e-324, "0." + std::string(323, '0') + "5"},
        DecimalCase{2.2250738585072014e-308, "0." + std::string(307, '0') + "22250738585072014"},
        DecimalCase{123.456, "123.456"}, DecimalCase{-2.5, "-2.5"},
        DecimalCase{std::numeric_limits<double>::infinity(), "inf"}));

}  // namespace
}  // namespace quorix
