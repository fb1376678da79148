#pragma once

namespace quorix {

/// The latest decoded state of one driver, as its feedback frame reports it.
/// 00 00 C0 3F 85 FF FA 00 decodes to position 1.5 rad, speed -12.3 rad/s, current 2.5 A.
struct Feedback {
    float position = 0.0f;  ///< rad
    float speed = 0.0f;     ///< rad/s
    float current = 0.0f;   ///< A

    friend bool operator==(const Feedback&, const Feedback&) = default;
};

}  // namespace quorix
