#include "comm/protocol/driver/control/foc_mode.hpp"

#include <gtest/gtest.h>

#include <string_view>

namespace quorix {
namespace {

struct ModeRow {
    FocMode mode;
    std::uint8_t code;
    std::string_view text;
    std::string_view unit;
    float scale;
};

class FocModeRowTest : public ::testing::TestWithParam<ModeRow> {};

TEST_P(FocModeRowTest, NamesCodeUnitAndScaleMatchTheTable) {
    const ModeRow& r = GetParam();
    EXPECT_EQ(wire_code(r.mode), r.code);
    EXPECT_EQ(foc_mode_text(r.mode), r.text);
    EXPECT_EQ(foc_mode_unit(r.mode), r.unit);
    EXPECT_EQ(target_scale(r.mode), r.scale);
    EXPECT_EQ(foc_mode_from_code(r.code), r.mode);
    EXPECT_EQ(foc_mode_from_text(r.text), r.mode);
}

INSTANTIATE_TEST_SUITE_P(AllModes, FocModeRowTest,
                         ::testing::Values(ModeRow{FocMode::Current, 0, "current", "A", 100.0f},
                                           ModeRow{FocMode::Speed, 1, "speed", "rad/s", 10.0f},
                                           ModeRow{FocMode::Position, 2, "position", "rad", 100.0f}));

class FocModeRejectedTextTest : public ::testing::TestWithParam<std::string_view> {};

// The binding layer lower-cases first; here only the exact lower-case names are modes.
TEST_P(FocModeRejectedTextTest, GivesNothing) { EXPECT_EQ(foc_mode_from_text(GetParam()), std::nullopt); }

INSTANTIATE_TEST_SUITE_P(NotExactNames, FocModeRejectedTextTest,
                         ::testing::Values("", "Speed", "SPEED", " speed", "speed ", "foo", "currentx", "pos",
                                           std::string_view("speed\0", 6)));

TEST(FocModeFromCode, RejectsCodesAboveTwo) {
    for (int code = 3; code <= 255; ++code)
        EXPECT_EQ(foc_mode_from_code(static_cast<std::uint8_t>(code)), std::nullopt) << code;
}

}  // namespace
}  // namespace quorix
