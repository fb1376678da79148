#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "comm/protocol/driver/control/feedback.hpp"
#include "comm/protocol/driver/control/foc_mode.hpp"

// DR v1 driver control codec: configuration frames, the broadcast target frame and the
// drivers' feedback frames. Pure functions: no I/O, no locks, no exceptions. Every frame the
// host builds here is sent with the group's host id as CAN identifier.

namespace quorix {

/// The data bytes of every frame of the protocol.
using FramePayload = std::array<std::uint8_t, 8>;

inline constexpr std::size_t DR_FRAME_LEN = 8;
/// Dest that addresses every driver on the bus; its two bytes cancel in the checksum.
inline constexpr std::uint16_t BROADCAST_DEST = 0xFFFF;
/// Slots of the broadcast target frame; a higher slot index is treated as the last one.
inline constexpr std::uint8_t TARGET_SLOTS = 4;
/// Pause of the calling thread after a calibrate frame was accepted for sending.
inline constexpr std::chrono::milliseconds CALIBRATE_WAIT{200};

/// Byte 3 of a configuration frame.
inline constexpr std::uint8_t DR_ENTER_FIRST = 0x73;
inline constexpr std::uint8_t DR_ENTER_SECOND = 0x74;
inline constexpr std::uint8_t DR_IN_SESSION = 0xFF;
/// CTL byte (byte 6) of a configuration frame; set-FOC-mode adds the mode's wire code.
inline constexpr std::uint8_t DR_CTL_EXIT_CONFIGURE = 0x00;
inline constexpr std::uint8_t DR_CTL_CALIBRATE = 0x01;
inline constexpr std::uint8_t DR_CTL_ENTER_CONFIGURE = 0x03;
inline constexpr std::uint8_t DR_CTL_SET_FOC_MODE = 0x10;

/// Dest of a driver: the low 16 bits of its node id. Node 0x12345 is dest 0x2345, so its
/// end-session frame is 44 52 31 FF 45 23 00 BE.
constexpr std::uint16_t dest_of(std::uint32_t node_id) noexcept {
    return static_cast<std::uint16_t>(node_id);
}

/// XOR of bytes 0 to 6, the value byte 7 must hold: 0xD8 for 44 52 31 FF FF FF 00 D8.
constexpr std::uint8_t dr_checksum(const FramePayload& frame) noexcept {
    std::uint8_t x = 0;
    for (std::size_t i = 0; i < DR_FRAME_LEN - 1; ++i) x ^= frame[i];
    return x;
}

/// The two frames that open a configuration session, in sending order (the second goes out
/// only if the first was accepted). Broadcast: 44 52 31 73 FF FF 03 57, then 44 52 31 74 FF FF 03 50.
std::array<FramePayload, 2> enter_configure_frames(std::uint16_t dest) noexcept;

/// End the configuration session; the driver's running state is left as it is.
/// Unicast to 0x0201: 44 52 31 FF 01 02 00 DB.
FramePayload exit_configure_frame(std::uint16_t dest) noexcept;

/// Ask for the encoder's electrical zero (inside a session). Broadcast: 44 52 31 FF FF FF 01 D9.
FramePayload calibrate_frame(std::uint16_t dest) noexcept;

/// Set the FOC mode (inside a session). Speed, broadcast: 44 52 31 FF FF FF 11 C9;
/// speed to 0x0201: 44 52 31 FF 01 02 11 CA.
FramePayload set_foc_mode_frame(std::uint16_t dest, FocMode mode) noexcept;

/// Wire integer of one target: target x target_scale(mode) in single precision, clamped to
/// [-32768, 32767], truncated toward zero; NaN gives 0. Speed 10.0 gives 100 (64 00),
/// current -0.019 gives -1 (FF FF), speed 3276.75 gives 32767 (FF 7F), position -1e9 gives -32768 (00 80).
std::int16_t encode_target(float target, FocMode mode) noexcept;

/// Writes one driver's target little-endian at bytes 2 x slot and 2 x slot + 1; a slot above 3
/// is written as slot 3. Slot 2, speed -5.0: bytes 4-5 become CE FF.
void put_slot_target(FramePayload& frame, std::uint8_t slot, float target, FocMode mode) noexcept;

/// One registered driver as the broadcast encoder sees it.
struct BroadcastEntry {
    std::uint8_t slot;
    float target;
    FocMode mode;
};

/// The broadcast target frame: eight zero bytes, then put_slot_target for every entry in
/// registration order, so a later entry of a shared slot wins. Speed 10.0 in slot 0 and
/// -5.0 in slot 2: 64 00 00 00 CE FF 00 00; no entries: 00 00 00 00 00 00 00 00.
FramePayload encode_broadcast_frame(std::span<const BroadcastEntry> entries) noexcept;

/// Decodes a feedback frame's data: position f32 LE as is, speed i16 LE / 10, current
/// i16 LE / 100, divided in single precision. Nothing unless there are exactly 8 bytes.
/// 00 00 C0 3F 85 FF FA 00: position 1.5, speed -12.3f, current 2.5.
std::optional<Feedback> decode_feedback(std::span<const std::uint8_t> data) noexcept;

}  // namespace quorix
