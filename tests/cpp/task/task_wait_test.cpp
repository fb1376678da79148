#include "core/task/task_wait.hpp"

#include <gtest/gtest.h>

namespace quorix {
namespace {

using std::chrono::nanoseconds;
constexpr nanoseconds SLICE{2'000'000};

struct WaitCase {
    std::optional<std::uint64_t> timeout_ms;
    std::int64_t elapsed_ns;
    std::optional<std::int64_t> sleep_ns;  // nullopt: timed out
};

class NextWaitSleep : public ::testing::TestWithParam<WaitCase> {};

TEST_P(NextWaitSleep, SleepsASliceOrWhatIsLeftOrTimesOut) {
    const WaitCase c = GetParam();
    const auto sleep = next_wait_sleep(c.timeout_ms, nanoseconds{c.elapsed_ns}, SLICE);
    const std::optional<std::int64_t> got = sleep ? std::optional(sleep->count()) : std::nullopt;
    EXPECT_EQ(got, c.sleep_ns);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NextWaitSleep,
    ::testing::Values(WaitCase{std::nullopt, 1'000'000'000'000, SLICE.count()},  // no time-out
                      WaitCase{0, 0, std::nullopt},                              // 0 ends at once
                      WaitCase{5, 5'000'000, std::nullopt},  // ends when the time-out is reached
                      WaitCase{5, 2'999'999, SLICE.count()}, WaitCase{5, 4'999'999, 1},
                      WaitCase{5, 4'000'000, 1'000'000},       // less than a slice left
                      WaitCase{UINT64_MAX, 0, SLICE.count()},  // the largest: no overflow
                      WaitCase{UINT64_MAX, 1'000'000'000'000'000'000, SLICE.count()}));

}  // namespace
}  // namespace quorix
