#pragma once

#include <linux/can.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "base/io_error.hpp"

namespace quorix {

/// A read-only view of payload bytes.
using ByteView = std::span<const std::uint8_t>;

/// One classic CAN frame as the module passes it around: the identifier without flag bits
/// (0..0x7FF standard, up to 0x1FFFFFFF extended) and up to 8 payload bytes stored inline.
///
/// `len` is the payload length the frame was made with. A message built from a payload longer
/// than 8 bytes keeps its first 8 bytes and the true length (saturated), so that the frame
/// rules reject it where the frame is built (the non-blocking device reports it from its
/// I/O task). Received messages always have `len` <= 8.
struct CanMessage {
    std::uint32_t id = 0;
    std::uint32_t len = 0;
    std::array<std::uint8_t, CAN_MAX_DLEN> data{};

    /// Copies `payload` (at most 8 bytes are stored); never fails, never allocates.
    static CanMessage from(std::uint32_t id, ByteView payload) noexcept {
        CanMessage m;
        m.id = id;
        m.len = payload.size() > std::numeric_limits<std::uint32_t>::max()
                    ? std::numeric_limits<std::uint32_t>::max()
                    : static_cast<std::uint32_t>(payload.size());
        std::copy_n(payload.begin(), std::min(payload.size(), m.data.size()), m.data.begin());
        return m;
    }

    /// The stored payload bytes (all of them when `len` <= 8).
    ByteView payload() const noexcept { return {data.data(), std::min<std::size_t>(len, data.size())}; }

    friend bool operator==(const CanMessage& a, const CanMessage& b) noexcept {
        return a.id == b.id && a.len == b.len && std::ranges::equal(a.payload(), b.payload());
    }
};

/// Builds the socket frame for `id` and `data`. Checks, in this order: more than 8 bytes ->
/// invalid input "Payload is larger than CAN maximum of 8 bytes"; id above 0x1FFFFFFF ->
/// invalid input "CAN ID too large". An id above 0x7FF makes an extended frame (CAN_EFF_FLAG),
/// any other a standard one. Unused data bytes and the reserved bytes are zero.
IoResult<can_frame> make_frame(std::uint32_t id, ByteView data);

/// make_frame for a queued message; an oversized message fails with the payload text.
IoResult<can_frame> make_frame(const CanMessage& message);

/// Turns a received frame into a message: the identifier is masked with CAN_EFF_MASK when
/// CAN_EFF_FLAG is set and with CAN_SFF_MASK otherwise, so the EFF, RTR and ERR flag bits are
/// dropped; the payload is the first can_dlc bytes (clamped to 8).
CanMessage to_message(const can_frame& frame) noexcept;

}  // namespace quorix
