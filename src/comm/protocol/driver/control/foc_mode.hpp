#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorix {

/// A driver's FOC control mode. The enumerator's value is its wire code.
enum class FocMode : std::uint8_t { Current = 0, Speed = 1, Position = 2 };

/// Wire code, the low nibble of the set-FOC-mode CTL byte.
/// Speed is 1: 44 52 31 FF FF FF 11 C9.
constexpr std::uint8_t wire_code(FocMode m) noexcept { return static_cast<std::uint8_t>(m); }

/// Mode for a wire code, or nothing for a code other than 0, 1, 2.
/// CTL 0x12 of 44 52 31 FF FF FF 12 CA carries code 2: Position.
constexpr std::optional<FocMode> foc_mode_from_code(std::uint8_t code) noexcept {
    if (code > wire_code(FocMode::Position)) return std::nullopt;
    return static_cast<FocMode>(code);
}

/// Text name: "current", "speed", "position".
constexpr std::string_view foc_mode_text(FocMode m) noexcept {
    switch (m) {
        case FocMode::Current: return "current";
        case FocMode::Speed: return "speed";
        case FocMode::Position: return "position";
    }
    return "unknown";
}

/// Unit of targets and feedback in this mode: "A", "rad/s", "rad".
constexpr std::string_view foc_mode_unit(FocMode m) noexcept {
    switch (m) {
        case FocMode::Current: return "A";
        case FocMode::Speed: return "rad/s";
        case FocMode::Position: return "rad";
    }
    return "";
}

/// Factor from the physical target to its wire integer: 100 (0.01 A), 10 (0.1 rad/s), 100 (0.01 rad).
/// A speed target of 10.0 rad/s travels as 100: 64 00 in its slot of the target frame.
constexpr float target_scale(FocMode m) noexcept { return m == FocMode::Speed ? 10.0f : 100.0f; }

/// Mode for a text the caller has already lower-cased (full Unicode lower-casing needs the
/// interpreter and happens in the binding layer). Exact comparison, no trimming: "speed" gives
/// Speed (set as 44 52 31 FF FF FF 11 C9); " speed" and "Speed" give nothing.
constexpr std::optional<FocMode> foc_mode_from_text(std::string_view lowered) noexcept {
    if (lowered == "current") return FocMode::Current;
    if (lowered == "speed") return FocMode::Speed;
    if (lowered == "position") return FocMode::Position;
    return std::nullopt;
}

}  // namespace quorix
