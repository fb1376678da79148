#include "comm/can/provisioning.hpp"

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_ip.hpp"
#include "ip_samples.hpp"

namespace quorix {
namespace {

using namespace ip_samples;
using testing::FakeIpDir;

constexpr const char* SHOW_CAN0 = "ip|-details|link|show|can0";
constexpr const char* DOWN = "ip|link|set|can0|down";
constexpr const char* CONFIGURE = "ip|link|set|can0|type|can|bitrate|1000000";
constexpr const char* UP = "ip|link|set|can0|up";
constexpr const char* SUDO_DOWN = "sudo|ip|link|set|can0|down";
constexpr const char* SUDO_CONFIGURE = "sudo|ip|link|set|can0|type|can|bitrate|1000000";
constexpr const char* SUDO_UP = "sudo|ip|link|set|can0|up";
constexpr const char* SHOW_VCAN0 = "ip|-details|link|show|vcan0";
constexpr const char* UP_VCAN0 = "ip|link|set|vcan0|up";
constexpr const char* SUDO_UP_VCAN0 = "sudo|ip|link|set|vcan0|up";

constexpr const char* SUDO_LINE = "[CAN] Need elevated privileges, requesting sudo...\n";
constexpr const char* NEEDS_500K =
    "[CAN] Interface 'can0' needs configuration (up=true, bitrate=500000), configuring...\n";
constexpr const char* NEEDS_NONE =
    "[CAN] Interface 'can0' needs configuration (up=false, bitrate=none), configuring...\n";
constexpr const char* NEEDS_VCAN =
    "[CAN] Interface 'vcan0' needs configuration (up=false, bitrate=none), configuring...\n";
// What the fake programs print on stderr when told to: shown only when it comes from sudo.
constexpr const char* REFUSED = "RTNETLINK answers: Operation not permitted\n";

struct FlowCase {
    const char* label;
    std::string_view iface;
    std::map<std::string, std::string> files;  // canned answers of the fake programs
    std::vector<std::string> missing;          // fake programs taken off PATH
    const char* error;                         // nullptr: success
    IoErrorKind kind;
    std::vector<std::string> log;
    std::string console;
};

class EnsureCanInterface : public ::testing::TestWithParam<FlowCase> {};

TEST_P(EnsureCanInterface, RunsExactCommandsAndPrintsExactLines) {
    const FlowCase& c = GetParam();
    FakeIpDir fake;
    for (const auto& [name, content] : c.files) fake.write(name, content);
    for (const auto& name : c.missing) fake.remove(name);
    IoResult<void> result;
    const std::string console = testing::capture_stderr([&] { result = ensure_can_interface(c.iface); });
    if (c.error) {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().text, c.error);
        EXPECT_EQ(result.error().kind, c.kind);
    } else {
        EXPECT_TRUE(result.ok()) << result.error().text;
    }
    EXPECT_EQ(fake.log(), c.log);
    EXPECT_EQ(console, c.console);
}

const FlowCase FLOW_CASES[] = {
    {"up_at_1m_runs_only_inspect", "can0", {{"show.out", CAN_UP_1M}}, {}, nullptr, {}, {SHOW_CAN0}, ""},
    {"up_at_500k_reconfigures",
     "can0",
     {{"show.out", CAN_UP_500K}, {"down.err", "ignored\n"}},
     {},
     nullptr,
     {},
     {SHOW_CAN0, DOWN, CONFIGURE, UP},
     NEEDS_500K},
    // Only exactly 1 Mbit/s is left alone: a faster bus is as wrong as a slower one.
    {"up_at_2m_reconfigures",
     "can0",
     {{"show.out", CAN_UP_2M}},
     {},
     nullptr,
     {},
     {SHOW_CAN0, DOWN, CONFIGURE, UP},
     "[CAN] Interface 'can0' needs configuration (up=true, bitrate=2000000), configuring...\n"},
    {"down_unconfigured_reports_none",
     "can0",
     {{"show.out", CAN_DOWN_UNCONFIGURED}},
     {},
     nullptr,
     {},
     {SHOW_CAN0, DOWN, CONFIGURE, UP},
     NEEDS_NONE},
    {"down_at_1m_still_reconfigures",
     "can0",
     {{"show.out", CAN_DOWN_1M}},
     {},
     nullptr,
     {},
     {SHOW_CAN0, DOWN, CONFIGURE, UP},
     "[CAN] Interface 'can0' needs configuration (up=false, bitrate=1000000), configuring...\n"},
    {"lower_up_without_up",
     "can0",
     {{"show.out", CAN_LOWER_UP_ONLY}},
     {},
     nullptr,
     {},
     {SHOW_CAN0, DOWN, CONFIGURE, UP},
     "[CAN] Interface 'can0' needs configuration (up=false, bitrate=1000000), configuring...\n"},
    {"bitrate_too_long_is_none",
     "can0",
     {{"show.out", CAN_ELEVEN_DIGITS}},
     {},
     nullptr,
     {},
     {SHOW_CAN0, DOWN, CONFIGURE, UP},
     "[CAN] Interface 'can0' needs configuration (up=true, bitrate=none), configuring...\n"},
    // Unprivileged output is captured and never shown; sudo's own output reaches the terminal.
    {"down_refused_then_sudo_succeeds",
     "can0",
     {{"show.out", CAN_UP_500K},
      {"down.rc", "2"},
      {"down.err", REFUSED},
      {"sudo-down.err", "sudo says hi\n"}},
     {},
     nullptr,
     {},
     {SHOW_CAN0, DOWN, SUDO_DOWN, SUDO_CONFIGURE, SUDO_UP},
     std::string(NEEDS_500K) + SUDO_LINE + "sudo says hi\n"},
    {"configure_refused_sudo_restarts_from_down",
     "can0",
     {{"show.out", CAN_UP_500K}, {"configure.rc", "2"}, {"configure.err", REFUSED}},
     {},
     nullptr,
     {},
     {SHOW_CAN0, DOWN, CONFIGURE, SUDO_DOWN, SUDO_CONFIGURE, SUDO_UP},
     std::string(NEEDS_500K) + SUDO_LINE},
    {"up_refused_sudo_restarts_from_down",
     "can0",
     {{"show.out", CAN_UP_500K}, {"up.rc", "1"}},
     {},
     nullptr,
     {},
     {SHOW_CAN0, DOWN, CONFIGURE, UP, SUDO_DOWN, SUDO_CONFIGURE, SUDO_UP},
     std::string(NEEDS_500K) + SUDO_LINE},
    {"unprivileged_killed_by_signal_counts_as_failed",
     "can0",
     {{"show.out", CAN_UP_500K}, {"down.signal", "TERM"}},
     {},
     nullptr,
     {},
     {SHOW_CAN0, DOWN, SUDO_DOWN, SUDO_CONFIGURE, SUDO_UP},
     std::string(NEEDS_500K) + SUDO_LINE},
    {"sudo_refused_at_down",
     "can0",
     {{"show.out", CAN_UP_500K}, {"down.rc", "2"}, {"sudo-down.rc", "1"}},
     {},
     "'sudo ip link set can0 down' failed",
     IoErrorKind::PermissionDenied,
     {SHOW_CAN0, DOWN, SUDO_DOWN},
     std::string(NEEDS_500K) + SUDO_LINE},
    {"sudo_configure_fails",
     "can0",
     {{"show.out", CAN_UP_500K},
      {"down.rc", "2"},
      {"sudo-configure.rc", "2"},
      {"sudo-configure.err", REFUSED}},
     {},
     "'sudo ip link set can0 type can bitrate 1000000' failed",
     IoErrorKind::PermissionDenied,
     {SHOW_CAN0, DOWN, SUDO_DOWN, SUDO_CONFIGURE},
     std::string(NEEDS_500K) + SUDO_LINE + REFUSED},
    {"sudo_up_killed",
     "can0",
     {{"show.out", CAN_UP_500K}, {"up.rc", "2"}, {"sudo-up.signal", "KILL"}},
     {},
     "'sudo ip link set can0 up' failed",
     IoErrorKind::PermissionDenied,
     {SHOW_CAN0, DOWN, CONFIGURE, UP, SUDO_DOWN, SUDO_CONFIGURE, SUDO_UP},
     std::string(NEEDS_500K) + SUDO_LINE},
    {"sudo_missing",
     "can0",
     {{"show.out", CAN_UP_500K}, {"down.rc", "2"}},
     {"sudo"},
     "Failed to run 'sudo ip link set can0 down': No such file or directory (os error 2)",
     IoErrorKind::Other,
     {SHOW_CAN0, DOWN},
     std::string(NEEDS_500K) + SUDO_LINE},
    // ip disappears after the inspection: the unprivileged Down cannot start, which counts as a
    // failed step; sudo then cannot run it either and exits non-zero.
    {"unprivileged_cannot_start",
     "can0",
     {{"show.out", CAN_UP_500K}, {"show.disable-ip", ""}},
     {},
     "'sudo ip link set can0 down' failed",
     IoErrorKind::PermissionDenied,
     {SHOW_CAN0, SUDO_DOWN},
     std::string(NEEDS_500K) + SUDO_LINE + "sudo: ip: command not found\n"},
    {"ip_missing",
     "can0",
     {},
     {"ip"},
     "Failed to run ip: No such file or directory (os error 2)",
     IoErrorKind::Other,
     {},
     ""},
    {"interface_missing",
     "can9",
     {{"show.rc", "1"}, {"show.err", "Device \"can9\" does not exist.\n"}},
     {},
     "CAN interface 'can9' does not exist",
     IoErrorKind::NotFound,
     {"ip|-details|link|show|can9"},
     ""},
    {"inspect_killed_by_signal",
     "can0",
     {{"show.out", CAN_UP_1M}, {"show.signal", "KILL"}},
     {},
     "CAN interface 'can0' does not exist",
     IoErrorKind::NotFound,
     {SHOW_CAN0},
     ""},
    {"not_a_can_interface_is_left_alone",
     "eth0",
     {{"show.out", ETH0}},
     {},
     "Interface 'eth0' is not a CAN interface",
     IoErrorKind::InvalidInput,
     {"ip|-details|link|show|eth0"},
     ""},
    {"nul_in_name_runs_nothing",
     std::string_view("can\0x", 5),
     {},
     {},
     "Failed to run ip: interface name contains a NUL byte",
     IoErrorKind::Other,
     {},
     ""},
    {"vcan_up_passes", "vcan0", {{"show.out", VCAN_UP}}, {}, nullptr, {}, {SHOW_VCAN0}, ""},
    {"vcan_down_only_brought_up",
     "vcan0",
     {{"show.out", VCAN_DOWN}},
     {},
     nullptr,
     {},
     {SHOW_VCAN0, UP_VCAN0},
     NEEDS_VCAN},
    {"vcan_up_refused_sudo_up_only",
     "vcan0",
     {{"show.out", VCAN_DOWN}, {"up.rc", "2"}},
     {},
     nullptr,
     {},
     {SHOW_VCAN0, UP_VCAN0, SUDO_UP_VCAN0},
     std::string(NEEDS_VCAN) + SUDO_LINE},
    {"vcan_sudo_up_refused",
     "vcan0",
     {{"show.out", VCAN_DOWN}, {"up.rc", "2"}, {"sudo-up.rc", "1"}},
     {},
     "'sudo ip link set vcan0 up' failed",
     IoErrorKind::PermissionDenied,
     {SHOW_VCAN0, UP_VCAN0, SUDO_UP_VCAN0},
     std::string(NEEDS_VCAN) + SUDO_LINE},
    {"vcan_sudo_missing",
     "vcan0",
     {{"show.out", VCAN_DOWN}, {"up.rc", "2"}},
     {"sudo"},
     "Failed to run 'sudo ip link set vcan0 up': No such file or directory (os error 2)",
     IoErrorKind::Other,
     {SHOW_VCAN0, UP_VCAN0},
     std::string(NEEDS_VCAN) + SUDO_LINE},
    {"vxcan_down_only_brought_up",
     "vxcan0",
     {{"show.out", VXCAN_DOWN}},
     {},
     nullptr,
     {},
     {"ip|-details|link|show|vxcan0", "ip|link|set|vxcan0|up"},
     "[CAN] Interface 'vxcan0' needs configuration (up=false, bitrate=none), configuring...\n"},
    {"vxcan_up_passes",
     "vxcan0",
     {{"show.out", VXCAN_UP}},
     {},
     nullptr,
     {},
     {"ip|-details|link|show|vxcan0"},
     ""},
};

INSTANTIATE_TEST_SUITE_P(Flows, EnsureCanInterface, ::testing::ValuesIn(FLOW_CASES),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(EnsureCanInterfaceChild, InspectGetsNoStandardInput) {
    FakeIpDir fake;
    fake.write("show.out", CAN_UP_1M);
    ASSERT_TRUE(ensure_can_interface("can0").ok());
    EXPECT_EQ(fake.read("show.stdin"), "/dev/null\n");
}

TEST(EnsureCanInterfaceChild, IpNotExecutableReportsSystemText) {
    FakeIpDir fake;
    fake.write("ip", "#!/bin/sh\nexit 0\n", 0644);
    auto r = ensure_can_interface("can0");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text, "Failed to run ip: Permission denied (os error 13)");
    EXPECT_EQ(r.error().kind, IoErrorKind::Other);
}

}  // namespace
}  // namespace quorix
