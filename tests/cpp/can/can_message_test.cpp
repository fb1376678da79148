#include "comm/can/can_message.hpp"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace quorix {
namespace {

struct BuildCase {
    const char* label;
    std::uint32_t id;
    std::size_t len;
    std::uint32_t can_id;  // expected on success
};

class MakeFrameAccepts : public ::testing::TestWithParam<BuildCase> {};

TEST_P(MakeFrameAccepts, SetsExtendedFlagByValueAndZeroFillsTheRest) {
    const BuildCase& c = GetParam();
    std::vector<std::uint8_t> payload(c.len);
    for (std::size_t i = 0; i < c.len; ++i) payload[i] = static_cast<std::uint8_t>(0xA0 + i);
    auto frame = make_frame(c.id, payload);
    ASSERT_TRUE(frame.ok()) << frame.error().text;
    EXPECT_EQ(frame->can_id, c.can_id);
    EXPECT_EQ(frame->can_dlc, c.len);
    // Bytes past the payload and the reserved bytes go on the wire as zero.
    std::uint8_t raw[sizeof(can_frame)];
    std::memcpy(raw, &*frame, sizeof raw);
    EXPECT_EQ(raw[5], 0);
    EXPECT_EQ(raw[6], 0);
    EXPECT_EQ(raw[7], 0);
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(raw[8 + i], i < c.len ? 0xA0 + i : 0) << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Boundaries, MakeFrameAccepts,
                         ::testing::Values(BuildCase{"std_zero_empty", 0x000, 0, 0x000},
                                           BuildCase{"std_max_empty", 0x7FF, 0, 0x7FF},
                                           BuildCase{"ext_min", 0x800, 1, 0x800 | CAN_EFF_FLAG},
                                           BuildCase{"ext_max_8_bytes", 0x1FFFFFFF, 8,
                                                     0x1FFFFFFF | CAN_EFF_FLAG},
                                           BuildCase{"std_3_bytes", 0x123, 3, 0x123}),
                         [](const auto& info) { return std::string(info.param.label); });

struct RejectCase {
    const char* label;
    std::uint32_t id;
    std::size_t len;
    const char* text;
};

class MakeFrameRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(MakeFrameRejects, WithInvalidInputTextLengthFirst) {
    const RejectCase& c = GetParam();
    std::vector<std::uint8_t> payload(c.len, 0x55);
    auto frame = make_frame(c.id, payload);
    ASSERT_FALSE(frame.ok());
    EXPECT_EQ(frame.error().text, c.text);
    EXPECT_EQ(frame.error().kind, IoErrorKind::InvalidInput);
    // A queued message carries the same verdict to the place where the frame is built.
    auto queued = make_frame(CanMessage::from(c.id, payload));
    ASSERT_FALSE(queued.ok());
    EXPECT_EQ(queued.error().text, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, MakeFrameRejects,
    ::testing::Values(RejectCase{"id_too_large", 0x20000000, 0, "CAN ID too large"},
                      RejectCase{"id_max_u32", 0xFFFFFFFF, 8, "CAN ID too large"},
                      RejectCase{"nine_bytes", 0x123, 9, "Payload is larger than CAN maximum of 8 bytes"},
                      RejectCase{"nine_bytes_and_bad_id", 0x20000000, 9,
                                 "Payload is larger than CAN maximum of 8 bytes"},
                      RejectCase{"long_payload", 0x1, 300, "Payload is larger than CAN maximum of 8 bytes"}),
    [](const auto& info) { return std::string(info.param.label); });

struct ReceiveCase {
    const char* label;
    canid_t can_id;
    std::uint8_t dlc;
    std::uint32_t id;
    std::size_t len;
};

class ToMessage : public ::testing::TestWithParam<ReceiveCase> {};

TEST_P(ToMessage, DropsFlagBitsAndKeepsDlcBytes) {
    const ReceiveCase& c = GetParam();
    can_frame frame;
    std::memset(&frame, 0, sizeof frame);
    frame.can_id = c.can_id;
    frame.can_dlc = c.dlc;
    for (int i = 0; i < 8; ++i) frame.data[i] = static_cast<std::uint8_t>(i + 1);
    const CanMessage m = to_message(frame);
    EXPECT_EQ(m.id, c.id);
    ASSERT_EQ(m.len, c.len);
    for (std::size_t i = 0; i < c.len; ++i) EXPECT_EQ(m.payload()[i], i + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, ToMessage,
    ::testing::Values(ReceiveCase{"standard", 0x123, 2, 0x123, 2},
                      ReceiveCase{"extended_small_id", 0x123 | CAN_EFF_FLAG, 8, 0x123, 8},
                      ReceiveCase{"extended_max", 0x1FFFFFFF | CAN_EFF_FLAG, 0, 0x1FFFFFFF, 0},
                      ReceiveCase{"remote_request_standard", 0x321 | CAN_RTR_FLAG, 4, 0x321, 4},
                      ReceiveCase{"remote_request_extended", 0x12345 | CAN_EFF_FLAG | CAN_RTR_FLAG, 3,
                                  0x12345, 3},
                      ReceiveCase{"error_flag_standard", 0x004 | CAN_ERR_FLAG, 8, 0x004, 8},
                      ReceiveCase{"all_flags_extended",
                                  0x1ABCDEF0 | CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG, 1, 0x1ABCDEF0, 1},
                      // Bits 11..28 of a standard frame are not part of its id.
                      ReceiveCase{"standard_high_bits", 0x1FFFF800 | 0x7AB, 1, 0x7AB, 1},
                      ReceiveCase{"dlc_above_8_clamped", 0x10, 15, 0x10, 8}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(CanMessage, RoundTripsThroughAFrame) {
    const std::uint8_t payload[] = {0xDE, 0xAD, 0xBE, 0xEF};
    for (std::uint32_t id : {0x0u, 0x7FFu, 0x800u, 0x1FFFFFFFu}) {
        auto frame = make_frame(id, payload);
        ASSERT_TRUE(frame.ok());
        EXPECT_EQ(to_message(*frame), CanMessage::from(id, payload)) << std::hex << id;
    }
}

TEST(CanMessage, EqualityIgnoresBytesPastLength) {
    const std::uint8_t a[] = {1, 2, 3};
    const std::uint8_t b[] = {1, 2, 4};
    CanMessage m = CanMessage::from(5, ByteView{a, 2});
    m.data[2] = 99;  // beyond len: not part of the message
    EXPECT_EQ(m, CanMessage::from(5, ByteView{b, 2}));
    EXPECT_FALSE(CanMessage::from(5, a) == CanMessage::from(5, b));
    EXPECT_FALSE(CanMessage::from(5, a) == CanMessage::from(6, a));
}

}  // namespace
}  // namespace quorix
