#include "comm/protocol/driver/control/dr_v1.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace quorix {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const FramePayload& f) { return Bytes(f.begin(), f.end()); }

// ---- configuration frames ---------------------------------------------------------------

struct FrameRow {
    std::string name;
    FramePayload actual;
    Bytes expected;
};

void PrintTo(const FrameRow& r, std::ostream* os) { *os << r.name; }

class ConfigFrameTest : public ::testing::TestWithParam<FrameRow> {};

TEST_P(ConfigFrameTest, ReproducesTheDocumentedBytes) {
    EXPECT_EQ(bytes_of(GetParam().actual), GetParam().expected);
}

TEST_P(ConfigFrameTest, LastByteIsXorOfTheOthers) {
    const FramePayload& f = GetParam().actual;
    std::uint8_t x = 0;
    for (int i = 0; i < 7; ++i) x ^= f[i];
    EXPECT_EQ(f[7], x);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ConfigFrameTest,
    ::testing::Values(
        FrameRow{"EnterFirstBroadcast",
                 enter_configure_frames(0xFFFF)[0],
                 {0x44, 0x52, 0x31, 0x73, 0xFF, 0xFF, 0x03, 0x57}},
        FrameRow{"EnterSecondBroadcast",
                 enter_configure_frames(0xFFFF)[1],
                 {0x44, 0x52, 0x31, 0x74, 0xFF, 0xFF, 0x03, 0x50}},
        FrameRow{"EnterFirstUnicast",
                 enter_configure_frames(0x0201)[0],
                 {0x44, 0x52, 0x31, 0x73, 0x01, 0x02, 0x03, 0x54}},
        FrameRow{"EnterSecondUnicast",
                 enter_configure_frames(0x0201)[1],
                 {0x44, 0x52, 0x31, 0x74, 0x01, 0x02, 0x03, 0x53}},
        FrameRow{"ExitBroadcast",
                 exit_configure_frame(BROADCAST_DEST),
                 {0x44, 0x52, 0x31, 0xFF, 0xFF, 0xFF, 0x00, 0xD8}},
        FrameRow{
            "ExitUnicast", exit_configure_frame(0x0201), {0x44, 0x52, 0x31, 0xFF, 0x01, 0x02, 0x00, 0xDB}},
        FrameRow{"CalibrateBroadcast",
                 calibrate_frame(BROADCAST_DEST),
                 {0x44, 0x52, 0x31, 0xFF, 0xFF, 0xFF, 0x01, 0xD9}},
        FrameRow{
            "CalibrateUnicast", calibrate_frame(0x0201), {0x44, 0x52, 0x31, 0xFF, 0x01, 0x02, 0x01, 0xDA}},
        FrameRow{"CurrentBroadcast",
                 set_foc_mode_frame(BROADCAST_DEST, FocMode::Current),
                 {0x44, 0x52, 0x31, 0xFF, 0xFF, 0xFF, 0x10, 0xC8}},
        FrameRow{"SpeedBroadcast",
                 set_foc_mode_frame(BROADCAST_DEST, FocMode::Speed),
                 {0x44, 0x52, 0x31, 0xFF, 0xFF, 0xFF, 0x11, 0xC9}},
        FrameRow{"PositionBroadcast",
                 set_foc_mode_frame(BROADCAST_DEST, FocMode::Position),
                 {0x44, 0x52, 0x31, 0xFF, 0xFF, 0xFF, 0x12, 0xCA}},
        FrameRow{"SpeedUnicast",
                 set_foc_mode_frame(0x0201, FocMode::Speed),
                 {0x44, 0x52, 0x31, 0xFF, 0x01, 0x02, 0x11, 0xCA}},
        FrameRow{"WideNodeIdKeepsLow16Bits",
                 exit_configure_frame(dest_of(0x12345)),
                 {0x44, 0x52, 0x31, 0xFF, 0x45, 0x23, 0x00, 0xBE}},
        FrameRow{"DestZero", calibrate_frame(0x0000), {0x44, 0x52, 0x31, 0xFF, 0x00, 0x00, 0x01, 0xD9}}),
    [](const auto& info) { return info.param.name; });

// The checksum is dest-low ^ dest-high ^ a constant per command, for every dest.
TEST(ConfigFrameChecksum, IsDestBytesXorCommandConstantForEveryDest) {
    for (std::uint32_t d = 0; d <= 0xFFFF; ++d) {
        const auto dest = static_cast<std::uint16_t>(d);
        const std::uint8_t dx = static_cast<std::uint8_t>((d & 0xFF) ^ (d >> 8));
        const auto enter = enter_configure_frames(dest);
        ASSERT_EQ(enter[0][7], dx ^ 0x57) << d;
        ASSERT_EQ(enter[1][7], dx ^ 0x50) << d;
        ASSERT_EQ(exit_configure_frame(dest)[7], dx ^ 0xD8) << d;
        ASSERT_EQ(calibrate_frame(dest)[7], dx ^ 0xD9) << d;
        for (FocMode m : {FocMode::Current, FocMode::Speed, FocMode::Position})
            ASSERT_EQ(set_foc_mode_frame(dest, m)[7], dx ^ (0xC8 + wire_code(m))) << d;
        ASSERT_EQ(enter[0][4], d & 0xFF);
        ASSERT_EQ(enter[0][5], d >> 8);
    }
}

TEST(DestOf, CutsNodeIdToLow16Bits) {
    EXPECT_EQ(dest_of(0x12345), 0x2345);
    EXPECT_EQ(dest_of(0x201), 0x201);
    EXPECT_EQ(dest_of(0xFFFFFFFF), 0xFFFF);
}

// ---- target encoding ----------------------------------------------------------------------

struct TargetRow {
    std::string name;
    float target;
    FocMode mode;
    std::int16_t wire;
};

void PrintTo(const TargetRow& r, std::ostream* os) { *os << r.name; }

class EncodeTargetTest : public ::testing::TestWithParam<TargetRow> {};

TEST_P(EncodeTargetTest, ScalesClampsAndTruncates) {
    EXPECT_EQ(encode_target(GetParam().target, GetParam().mode), GetParam().wire);
}

// Each slot carries the value little-endian and no other byte changes.
TEST_P(EncodeTargetTest, LandsLittleEndianInItsSlotOnly) {
    const auto raw = static_cast<std::uint16_t>(GetParam().wire);
    for (std::uint8_t slot = 0; slot < TARGET_SLOTS; ++slot) {
        FramePayload f{};
        put_slot_target(f, slot, GetParam().target, GetParam().mode);
        FramePayload want{};
        want[2 * slot] = raw & 0xFF;
        want[2 * slot + 1] = raw >> 8;
        EXPECT_EQ(f, want) << "slot " << int(slot);
    }
}

constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float NAN_F = std::numeric_limits<float>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, EncodeTargetTest,
    ::testing::Values(TargetRow{"Speed10", 10.0f, FocMode::Speed, 100},
                      TargetRow{"SpeedMinus5", -5.0f, FocMode::Speed, -50},
                      TargetRow{"Current1_23456", 1.23456f, FocMode::Current, 123},
                      TargetRow{"CurrentMinus0_019", -0.019f, FocMode::Current, -1},
                      TargetRow{"Position3_14159", 3.14159f, FocMode::Position, 314},
                      TargetRow{"Speed3276_75ClampsFrom32767_5", 3276.75f, FocMode::Speed, 32767},
                      TargetRow{"PositionMinus1e9", -1e9f, FocMode::Position, -32768},
                      TargetRow{"PlusInfinity", INF, FocMode::Speed, 32767},
                      TargetRow{"MinusInfinity", -INF, FocMode::Current, -32768},
                      TargetRow{"NanSpeed", NAN_F, FocMode::Speed, 0},
                      TargetRow{"NanCurrent", NAN_F, FocMode::Current, 0},
                      TargetRow{"NegativeNan", -NAN_F, FocMode::Position, 0},
                      TargetRow{"MinusZero", -0.0f, FocMode::Speed, 0},
                      TargetRow{"TruncatesCurrent0_019", 0.019f, FocMode::Current, 1},
                      TargetRow{"TruncatesSpeedMinus0_19", -0.19f, FocMode::Speed, -1},
                      TargetRow{"TinyPositiveIsZero", 1e-30f, FocMode::Position, 0},
                      TargetRow{"MaxFloat", std::numeric_limits<float>::max(), FocMode::Current, 32767},
                      TargetRow{"ExactLowerBound", -3276.8f, FocMode::Speed, -32768},
                      TargetRow{"JustBelowLowerBound", -3276.85f, FocMode::Speed, -32768},
                      TargetRow{"PositionJustAboveRange", 327.68f, FocMode::Position, 32767},
                      // 0.29f * 100 is 28.99999916... in double but rounds to 29.0f in single precision.
                      TargetRow{"ProductIsSinglePrecision", 0.29f, FocMode::Current, 29}),
    [](const auto& info) { return info.param.name; });

TEST(PutSlotTarget, SlotAboveThreeIsWrittenAsSlotThree) {
    FramePayload f{};
    put_slot_target(f, 9, 10.0f, FocMode::Speed);
    EXPECT_EQ(bytes_of(f), (Bytes{0, 0, 0, 0, 0, 0, 0x64, 0x00}));
    put_slot_target(f, 255, -5.0f, FocMode::Speed);
    EXPECT_EQ(bytes_of(f), (Bytes{0, 0, 0, 0, 0, 0, 0xCE, 0xFF}));
}

// ---- broadcast target frame ----------------------------------------------------------------

struct BroadcastRow {
    std::string name;
    std::vector<BroadcastEntry> entries;
    Bytes expected;
};

void PrintTo(const BroadcastRow& r, std::ostream* os) { *os << r.name; }

class BroadcastFrameTest : public ::testing::TestWithParam<BroadcastRow> {};

TEST_P(BroadcastFrameTest, PacksSlotsInRegistrationOrder) {
    EXPECT_EQ(bytes_of(encode_broadcast_frame(GetParam().entries)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Groups, BroadcastFrameTest,
    ::testing::Values(BroadcastRow{"NoDrivers", {}, {0, 0, 0, 0, 0, 0, 0, 0}},
                      BroadcastRow{"Slots0And2",
                                   {{0, 10.0f, FocMode::Speed}, {2, -5.0f, FocMode::Speed}},
                                   {0x64, 0x00, 0x00, 0x00, 0xCE, 0xFF, 0x00, 0x00}},
                      BroadcastRow{"Slots1And3LeaveOthersZero",
                                   {{3, 1.0f, FocMode::Current}, {1, -1.0f, FocMode::Position}},
                                   {0x00, 0x00, 0x9C, 0xFF, 0x00, 0x00, 0x64, 0x00}},
                      BroadcastRow{"SharedSlotLaterWins",
                                   {{0, 1.0f, FocMode::Speed}, {0, 2.0f, FocMode::Speed}},
                                   {0x14, 0x00, 0, 0, 0, 0, 0, 0}},
                      BroadcastRow{"SlotNineSharesSlotThree",
                                   {{3, 1.0f, FocMode::Speed}, {9, 2.0f, FocMode::Speed}},
                                   {0, 0, 0, 0, 0, 0, 0x14, 0x00}},
                      BroadcastRow{"AllFourMixedModes",
                                   {{0, 1.23456f, FocMode::Current},
                                    {1, 3276.75f, FocMode::Speed},
                                    {2, 3.14159f, FocMode::Position},
                                    {3, -1e9f, FocMode::Position}},
                                   {0x7B, 0x00, 0xFF, 0x7F, 0x3A, 0x01, 0x00, 0x80}},
                      BroadcastRow{"NanAndMinusZero",
                                   {{0, NAN_F, FocMode::Speed}, {1, -0.0f, FocMode::Current}},
                                   {0, 0, 0, 0, 0, 0, 0, 0}}),
    [](const auto& info) { return info.param.name; });

// ---- feedback decoding -------------------------------------------------------------------

struct FeedbackRow {
    std::string name;
    Bytes data;
    float position;
    float speed;
    float current;
};

void PrintTo(const FeedbackRow& r, std::ostream* os) { *os << r.name; }

class DecodeFeedbackTest : public ::testing::TestWithParam<FeedbackRow> {};

TEST_P(DecodeFeedbackTest, DecodesInSinglePrecision) {
    const FeedbackRow& r = GetParam();
    const auto fb = decode_feedback(r.data);
    ASSERT_TRUE(fb.has_value());
    EXPECT_EQ(fb->position, r.position);
    EXPECT_EQ(fb->speed, r.speed);
    EXPECT_EQ(fb->current, r.current);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, DecodeFeedbackTest,
    ::testing::Values(
        FeedbackRow{"Example", {0x00, 0x00, 0xC0, 0x3F, 0x85, 0xFF, 0xFA, 0x00}, 1.5f, -12.3f, 2.5f},
        FeedbackRow{"AllZero", {0, 0, 0, 0, 0, 0, 0, 0}, 0.0f, 0.0f, 0.0f},
        FeedbackRow{"PositionPlusInfinity", {0x00, 0x00, 0x80, 0x7F, 0, 0, 0, 0}, INF, 0.0f, 0.0f},
        FeedbackRow{"PositionMinusInfinity", {0x00, 0x00, 0x80, 0xFF, 0, 0, 0, 0}, -INF, 0.0f, 0.0f},
        FeedbackRow{"SpeedMostNegative", {0, 0, 0, 0, 0x00, 0x80, 0, 0}, 0.0f, -3276.8f, 0.0f},
        FeedbackRow{"SpeedMostPositive", {0, 0, 0, 0, 0xFF, 0x7F, 0, 0}, 0.0f, 3276.7f, 0.0f},
        FeedbackRow{"CurrentExtremes", {0, 0, 0, 0, 0, 0, 0x00, 0x80}, 0.0f, 0.0f, -327.68f},
        FeedbackRow{"RawSpeedOne", {0, 0, 0, 0, 0x01, 0x00, 0x01, 0x00}, 0.0f, 0.1f, 0.01f}),
    [](const auto& info) { return info.param.name; });

TEST(DecodeFeedback, RawSpeedOneWidensToTheSinglePrecisionValue) {
    const Bytes data{0, 0, 0, 0, 0x01, 0x00, 0, 0};
    EXPECT_EQ(static_cast<double>(decode_feedback(data)->speed), 0.10000000149011612);
}

TEST(DecodeFeedback, NanPositionPassesThrough) {
    const Bytes data{0x00, 0x00, 0xC0, 0x7F, 0, 0, 0, 0};
    EXPECT_TRUE(std::isnan(decode_feedback(data)->position));
}

class DecodeFeedbackLengthTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DecodeFeedbackLengthTest, RejectsAnyLengthButEight) {
    const Bytes data(GetParam(), 0x11);
    EXPECT_EQ(decode_feedback(data), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(WrongLengths, DecodeFeedbackLengthTest, ::testing::Values(0, 1, 6, 7, 9, 64));

}  // namespace
}  // namespace quorix
