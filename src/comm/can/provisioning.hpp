#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/io_error.hpp"

namespace quorix {

/// The bitrate every real CAN interface is brought to, in bit/s.
inline constexpr std::uint32_t REQUIRED_BITRATE = 1000000;

enum class LinkKind : std::uint8_t {
    NotCan,      // no "link/can" line
    Can,         // a CAN controller: bitrate applies
    VirtualCan,  // vcan or vxcan: no bitrate
};

/// What one `ip -details link show NAME` says about the interface.
struct LinkState {
    bool up = false;
    std::optional<std::uint32_t> bitrate;
    LinkKind kind = LinkKind::NotCan;
};

/// True when the first "<...>" flags list of the output has an element equal to "UP".
bool parse_link_up(std::string_view ip_output) noexcept;

/// The number after "bitrate " on the first line containing "bitrate ", when it is a non-empty
/// run of digits whose value fits 32 bits; later lines are not looked at.
std::optional<std::uint32_t> parse_bitrate(std::string_view ip_output) noexcept;

/// Whether the output has a "link/can" line and, if so, whether the line after it names the
/// link kind vcan or vxcan.
LinkKind parse_link_kind(std::string_view ip_output) noexcept;

LinkState parse_link_details(std::string_view ip_output) noexcept;

/// Makes sure the CAN interface `interface` exists and is up; a real CAN interface also runs
/// at REQUIRED_BITRATE. Inspects it with `ip`; when it must be changed prints
/// "[CAN] Interface '{}' needs configuration (up={}, bitrate={}), configuring..." to fd 2 and
/// runs `ip link set` commands, retrying them through `sudo` (after printing
/// "[CAN] Need elevated privileges, requesting sudo...") when an unprivileged one fails.
///
/// Blocks the calling thread for up to seven child processes, including an interactive sudo
/// password prompt; any thread; holds no lock. Programs are found on PATH at call time.
/// Failures:
///   other             "Failed to run ip: {}" (ip cannot be started; a name with a NUL byte)
///   not found         "CAN interface '{}' does not exist" (inspection exited non-zero)
///   invalid input     "Interface '{}' is not a CAN interface" (nothing has been changed)
///   other             "Failed to run 'sudo ip {}': {}" (sudo cannot be started)
///   permission denied "'sudo ip {}' failed" (a privileged command exited non-zero)
IoResult<void> ensure_can_interface(std::string_view interface);

}  // namespace quorix
