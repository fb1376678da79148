#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "comm/can/can_message.hpp"
#include "comm/can/raw_socket.hpp"
#include "base/io_error.hpp"

namespace quorix {

/// The blocking CAN device: one raw socket on one interface, used by one caller at a time.
/// send and receive are plain blocking system calls on the calling thread; a caller on a
/// runtime worker must first give up the worker's seat. A failed call leaves the device usable.
class CanDeviceSync {
public:
    /// Provisions the interface (ensure_can_interface), then opens a raw socket on it.
    /// Blocks for the provisioning commands. Fails with the provisioning error unchanged, or
    /// "Failed to open CAN Socket"; never yields a half-open device.
    static IoResult<CanDeviceSync> open(std::string interface);

    /// Builds the frame (payload over 8 bytes or id above 0x1FFFFFFF fail before the socket is
    /// touched) and blocks until the kernel has accepted it; does not wait for the bus.
    /// Allocates nothing unless it fails.
    IoResult<void> send(std::uint32_t id, ByteView data);

    /// Blocks until a frame arrives, without a time limit; frames queued in the kernel's
    /// receive buffer come oldest first.
    IoResult<CanMessage> receive();

    /// The name given to open(), unchanged.
    const std::string& interface() const noexcept { return interface_; }

private:
    CanDeviceSync(RawSocket socket, std::string interface) noexcept
        : socket_(std::move(socket)), interface_(std::move(interface)) {}

    RawSocket socket_;
    std::string interface_;
};

}  // namespace quorix
