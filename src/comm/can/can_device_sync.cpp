#include "comm/can/can_device_sync.hpp"

#include <utility>

#include "comm/can/provisioning.hpp"

namespace quorix {

IoResult<CanDeviceSync> CanDeviceSync::open(std::string interface) {
    if (auto provisioned = ensure_can_interface(interface); !provisioned)
        return std::move(provisioned).error();
    auto socket = RawSocket::open(interface);
    if (!socket) return std::move(socket).error();
    return CanDeviceSync{std::move(socket).value(), std::move(interface)};
}

IoResult<void> CanDeviceSync::send(std::uint32_t id, ByteView data) {
    auto frame = make_frame(id, data);
    if (!frame) return std::move(frame).error();
    return socket_.write_frame(*frame);
}

IoResult<CanMessage> CanDeviceSync::receive() {
    auto frame = socket_.read_frame();
    if (!frame) return std::move(frame).error();
    return to_message(*frame);
}

}  // namespace quorix
