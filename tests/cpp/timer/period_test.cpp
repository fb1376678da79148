#include "core/timer/period.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quorix {
namespace {

struct PeriodCase {
    double frequency_hz;
    std::int64_t expected_ns;  // the exact rational 1e9 / fl(1 / f), rounded half to even
};

class PeriodFromFrequency : public ::testing::TestWithParam<PeriodCase> {};

TEST_P(PeriodFromFrequency, RoundsTheDoubleQuotientToTheNearestNanosecond) {
    const auto result = period_from_frequency(GetParam().frequency_hz);
    ASSERT_TRUE(std::holds_alternative<std::chrono::nanoseconds>(result));
    EXPECT_EQ(std::get<std::chrono::nanoseconds>(result).count(), GetParam().expected_ns);
}

INSTANTIATE_TEST_SUITE_P(
    Values, PeriodFromFrequency,
    ::testing::Values(PeriodCase{3.0, 333'333'333}, PeriodCase{1000.0, 1'000'000},
                      PeriodCase{7.0, 142'857'143}, PeriodCase{0.1, 10'000'000'000},
                      // 1/1024 s is exactly 976562.5 ns: the tie goes to the even neighbour ...
                      PeriodCase{1024.0, 976'562},
                      // ... and 3/1024 s, exactly 2929687.5 ns, rounds up to the even one.
                      PeriodCase{1024.0 / 3.0, 2'929'688},
                      // fl(1 / 2e9) lies just above half a nanosecond.
                      PeriodCase{2e9, 1}, PeriodCase{1e-9, 999'999'999'999'999'881}));

TEST(PeriodFromFrequency, RefusesPeriodsThatRoundToZero) {
    for (double f : {std::numeric_limits<double>::infinity(), 2.1e9, 4e9, 1e300}) {
        const auto result = period_from_frequency(f);
        ASSERT_TRUE(std::holds_alternative<PeriodError>(result)) << f;
        EXPECT_EQ(std::get<PeriodError>(result), PeriodError::RoundsToZero) << f;
    }
}

TEST(PeriodFromFrequency, RefusesPeriodsLongerThanTheDeadlineArithmeticAllows) {
    for (double f : {1e-10, 5e-20, 1e-300, std::numeric_limits<double>::denorm_min()}) {
        const auto result = period_from_frequency(f);
        ASSERT_TRUE(std::holds_alternative<PeriodError>(result)) << f;
        EXPECT_EQ(std::get<PeriodError>(result), PeriodError::TooLong) << f;
    }
}

TEST(PeriodFromFrequency, LongestPeriodBoundIsTheLimit) {
    const double at_limit = 1e9 / static_cast<double>(MAX_TIMER_PERIOD.count());
    EXPECT_TRUE(std::holds_alternative<std::chrono::nanoseconds>(period_from_frequency(at_limit * 1.000001)));
    EXPECT_TRUE(std::holds_alternative<PeriodError>(period_from_frequency(at_limit * 0.999999)));
}

}  // namespace
}  // namespace quorix
