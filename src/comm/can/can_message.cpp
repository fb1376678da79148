#include "comm/can/can_message.hpp"

#include <cstring>

namespace quorix {

namespace {

// The checks of make_frame are done by the callers, in their order.
can_frame make_frame_unchecked(std::uint32_t id, ByteView data) noexcept {
    can_frame frame;
    std::memset(&frame, 0, sizeof frame);  // reserved bytes and unused data go out as zero
    frame.can_id = id > CAN_SFF_MASK ? (id | CAN_EFF_FLAG) : id;
    frame.can_dlc = static_cast<std::uint8_t>(data.size());
    if (!data.empty())
        std::memcpy(frame.data, data.data(), data.size());  // an empty span may hold no pointer
    return frame;
}

}  // namespace

IoResult<can_frame> make_frame(std::uint32_t id, ByteView data) {
    // The length is checked first: a frame that is too long and has a bad id reports the length.
    if (data.size() > CAN_MAX_DLEN)
        return IoError::invalid_input("Payload is larger than CAN maximum of 8 bytes");
    if (id > CAN_EFF_MASK) return IoError::invalid_input("CAN ID too large");
    return make_frame_unchecked(id, data);
}

IoResult<can_frame> make_frame(const CanMessage& message) {
    if (message.len > CAN_MAX_DLEN)
        return IoError::invalid_input("Payload is larger than CAN maximum of 8 bytes");
    return make_frame(message.id, message.payload());
}

CanMessage to_message(const can_frame& frame) noexcept {
    const std::uint32_t mask = (frame.can_id & CAN_EFF_FLAG) ? CAN_EFF_MASK : CAN_SFF_MASK;
    // The kernel never delivers a classic frame longer than 8 bytes; the clamp keeps a corrupt
    // length from reading past the frame.
    const std::size_t len = std::min<std::size_t>(frame.can_dlc, CAN_MAX_DLEN);
    return CanMessage::from(frame.can_id & mask, ByteView{frame.data, len});
}

}  // namespace quorix
