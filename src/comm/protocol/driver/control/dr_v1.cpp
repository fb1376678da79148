#include "comm/protocol/driver/control/dr_v1.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace quorix {
namespace {

FramePayload config_frame(std::uint8_t byte3, std::uint16_t dest, std::uint8_t ctl) noexcept {
    FramePayload f{
        0x44, 0x52, 0x31, byte3, static_cast<std::uint8_t>(dest & 0xFF), static_cast<std::uint8_t>(dest >> 8),
        ctl,  0};
    f[7] = dr_checksum(f);
    return f;
}

std::int16_t read_i16_le(const std::uint8_t* p) noexcept {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}

}  // namespace

std::array<FramePayload, 2> enter_configure_frames(std::uint16_t dest) noexcept {
    return {config_frame(DR_ENTER_FIRST, dest, DR_CTL_ENTER_CONFIGURE),
            config_frame(DR_ENTER_SECOND, dest, DR_CTL_ENTER_CONFIGURE)};
}

FramePayload exit_configure_frame(std::uint16_t dest) noexcept {
    return config_frame(DR_IN_SESSION, dest, DR_CTL_EXIT_CONFIGURE);
}

FramePayload calibrate_frame(std::uint16_t dest) noexcept {
    return config_frame(DR_IN_SESSION, dest, DR_CTL_CALIBRATE);
}

FramePayload set_foc_mode_frame(std::uint16_t dest, FocMode mode) noexcept {
    return config_frame(DR_IN_SESSION, dest,
                        static_cast<std::uint8_t>(DR_CTL_SET_FOC_MODE + wire_code(mode)));
}

std::int16_t encode_target(float target, FocMode mode) noexcept {
    // The product stays in single precision: 3276.75f * 10.0f is exactly 32767.5f, which must
    // saturate rather than round up past the range.
    const float scaled = target * target_scale(mode);
    if (std::isnan(scaled)) return 0;
    // Clamping first keeps the conversion defined for infinities and huge values.
    const float clamped = std::clamp(scaled, -32768.0f, 32767.0f);
    return static_cast<std::int16_t>(clamped);  // truncates toward zero
}

void put_slot_target(FramePayload& frame, std::uint8_t slot, float target, FocMode mode) noexcept {
    // A slot beyond the frame would write past it; devices store such slots as the last one.
    const std::size_t at = 2 * std::min<std::size_t>(slot, TARGET_SLOTS - 1);
    const auto raw = static_cast<std::uint16_t>(encode_target(target, mode));
    frame[at] = static_cast<std::uint8_t>(raw & 0xFF);
    frame[at + 1] = static_cast<std::uint8_t>(raw >> 8);
}

FramePayload encode_broadcast_frame(std::span<const BroadcastEntry> entries) noexcept {
    FramePayload frame{};
    for (const BroadcastEntry& e : entries) put_slot_target(frame, e.slot, e.target, e.mode);
    return frame;
}

std::optional<Feedback> decode_feedback(std::span<const std::uint8_t> data) noexcept {
    if (data.size() != DR_FRAME_LEN) return std::nullopt;
    const std::uint32_t bits =
        static_cast<std::uint32_t>(data[0]) | (static_cast<std::uint32_t>(data[1]) << 8) |
        (static_cast<std::uint32_t>(data[2]) << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
    return Feedback{
        .position = std::bit_cast<float>(bits),
        .speed = static_cast<float>(read_i16_le(&data[4])) / 10.0f,
        .current = static_cast<float>(read_i16_le(&data[6])) / 100.0f,
    };
}

}  // namespace quorix
