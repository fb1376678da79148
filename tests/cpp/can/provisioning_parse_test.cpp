#include "comm/can/provisioning.hpp"

#include <gtest/gtest.h>

#include "ip_samples.hpp"

namespace quorix {
namespace {

struct ParseCase {
    const char* label;
    const char* output;
    bool up;
    std::optional<std::uint32_t> bitrate;
    LinkKind kind;
};

class ParseLinkDetails : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseLinkDetails, ReadsUpBitrateAndKind) {
    const ParseCase& c = GetParam();
    const LinkState s = parse_link_details(c.output);
    EXPECT_EQ(s.up, c.up);
    EXPECT_EQ(s.bitrate, c.bitrate);
    EXPECT_EQ(s.kind, c.kind);
}

using namespace ip_samples;
constexpr auto NONE = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    IpOutput, ParseLinkDetails,
    ::testing::Values(ParseCase{"can_up_1m", CAN_UP_1M, true, 1000000, LinkKind::Can},
                      ParseCase{"can_up_500k", CAN_UP_500K, true, 500000, LinkKind::Can},
                      ParseCase{"can_up_2m", CAN_UP_2M, true, 2000000, LinkKind::Can},
                      ParseCase{"can_down_unconfigured", CAN_DOWN_UNCONFIGURED, false, NONE, LinkKind::Can},
                      ParseCase{"can_down_1m", CAN_DOWN_1M, false, 1000000, LinkKind::Can},
                      ParseCase{"lower_up_is_not_up", CAN_LOWER_UP_ONLY, false, 1000000, LinkKind::Can},
                      ParseCase{"canfd_nominal_rate", CANFD_UP_500K, true, 500000, LinkKind::Can},
                      ParseCase{"eleven_digits", CAN_ELEVEN_DIGITS, true, NONE, LinkKind::Can},
                      ParseCase{"vcan_up", VCAN_UP, true, NONE, LinkKind::VirtualCan},
                      ParseCase{"vcan_down", VCAN_DOWN, false, NONE, LinkKind::VirtualCan},
                      ParseCase{"vxcan_down", VXCAN_DOWN, false, NONE, LinkKind::VirtualCan},
                      ParseCase{"vxcan_up", VXCAN_UP, true, NONE, LinkKind::VirtualCan},
                      ParseCase{"eth0", ETH0, true, NONE, LinkKind::NotCan},
                      ParseCase{"empty", "", false, NONE, LinkKind::NotCan},
                      ParseCase{"crlf_lines",
                                "3: vcan1: <NOARP,UP,LOWER_UP> mtu 72\r\n    link/can  promiscuity 0\r\n    "
                                "vcan numtxqueues 1\r\n",
                                true, NONE, LinkKind::VirtualCan},
                      // A link/can line with nothing after it is still a CAN interface, not a virtual one.
                      ParseCase{"link_can_last_line", "4: can0: <UP>\n    link/can\n", true, NONE,
                                LinkKind::Can},
                      ParseCase{"vcan_after_altname",
                                "5: x: <NOARP>\n    link/can \n    altname bus0\n    vcan numtxqueues 1\n",
                                false, NONE, LinkKind::VirtualCan},
                      // "vcan" elsewhere than at the start of the details line does not make a link virtual.
                      ParseCase{"word_vcan_elsewhere",
                                "4: vcan9: <UP>\n    link/can \n    can state vcan\n\t  bitrate 1000000\n",
                                true, 1000000, LinkKind::Can}),
    [](const auto& info) { return std::string(info.param.label); });

struct UpCase {
    const char* label;
    const char* output;
    bool up;
};

class ParseLinkUp : public ::testing::TestWithParam<UpCase> {};

TEST_P(ParseLinkUp, NeedsAnElementEqualToUp) { EXPECT_EQ(parse_link_up(GetParam().output), GetParam().up); }

INSTANTIATE_TEST_SUITE_P(Flags, ParseLinkUp,
                         ::testing::Values(UpCase{"only_up", "1: a: <UP> mtu", true},
                                           UpCase{"up_last", "1: a: <NOARP,ECHO,UP>", true},
                                           UpCase{"lower_up_only", "1: a: <NOARP,LOWER_UP,ECHO>", false},
                                           UpCase{"lowercase", "1: a: <up>", false},
                                           UpCase{"padded", "1: a: < UP>", false},
                                           UpCase{"empty_list", "1: a: <>", false},
                                           UpCase{"no_open", "1: a: UP>", false},
                                           UpCase{"no_close", "1: a: <UP,NOARP", false},
                                           // Only the first "<...>" list counts.
                                           UpCase{"second_list_ignored", "1: a: <NOARP> x <UP>", false}),
                         [](const auto& info) { return std::string(info.param.label); });

struct BitrateCase {
    const char* label;
    const char* output;
    std::optional<std::uint32_t> bitrate;
};

class ParseBitrate : public ::testing::TestWithParam<BitrateCase> {};

TEST_P(ParseBitrate, TakesDigitsAfterFirstMatchingLine) {
    EXPECT_EQ(parse_bitrate(GetParam().output), GetParam().bitrate);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseBitrate,
    ::testing::Values(BitrateCase{"u32_max", "\t  bitrate 4294967295 sample-point 0.8\n", 4294967295u},
                      BitrateCase{"u32_max_plus_one", "\t  bitrate 4294967296 sample-point 0.8\n", NONE},
                      BitrateCase{"twenty_digits", "bitrate 99999999999999999999\n", NONE},
                      BitrateCase{"no_digits", "bitrate x1000000\n", NONE},
                      BitrateCase{"no_space_after_key", "bitrate\t1000000\n", NONE},
                      // The first matching line decides even when it has no number.
                      BitrateCase{"first_line_decides", "bitrate none\nbitrate 1000000\n", NONE},
                      BitrateCase{"digits_then_text", "  bitrate 125000abc\n", 125000},
                      BitrateCase{"dbitrate_line_first", "\t  dbitrate 2000000 dsample-point 0.75\n",
                                  2000000},
                      BitrateCase{"crlf", "x\r\n  bitrate 250000\r\n", 250000},
                      BitrateCase{"last_line_unterminated", "a\n  bitrate 1000000", 1000000},
                      BitrateCase{"leading_zeros_fit", "bitrate 000000000001000000\n", 1000000}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace quorix
