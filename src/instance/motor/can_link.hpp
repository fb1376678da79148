#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "comm/can/can_message.hpp"
#include "base/io_error.hpp"
#include "runtime/task.hpp"
#include "runtime/time.hpp"

namespace quorix {

class CanDeviceAsync;
class FrameSink;

/// What the motor group and its devices need of their CAN device: queue a frame for
/// sending, and await a received one. The group, its feedback task and every Device share
/// one link through a std::shared_ptr, so the CAN device stays open while any of them lives.
/// Production code uses open_can_link(); tests substitute a recording fake.
class CanLink {
public:
    virtual ~CanLink() = default;

    /// Queues one frame and returns at once; any thread; never waits on the bus. Fails
    /// only when the device's sending side has stopped ("channel closed").
    virtual IoResult<void> send(std::uint32_t id, ByteView data) = 0;

    /// Awaits the next received frame for at most `timeout`; nothing on time-out or when
    /// no frame can arrive any more. For tasks on the shared runtime; never blocks a thread.
    virtual rt::Task<std::optional<CanMessage>> receive(rt::Duration timeout) = 0;

    /// The one reader of received frames (the group's feedback task) is gone: received
    /// frames need not be kept any more. Sending keeps working. Any thread.
    virtual void stop_receiving() {}
};

/// The link over an open non-blocking CAN device.
std::shared_ptr<CanLink> can_link(std::shared_ptr<CanDeviceAsync> device);

/// Opens the non-blocking CAN device on `interface` (provisioning on the calling thread,
/// then the socket through the runtime) behind a CanLink; received frames are offered to
/// `sink` first (FrameSink) until stop_receiving(). Fails with the device's error.
IoResult<std::shared_ptr<CanLink>> open_can_link(std::string interface,
                                                 std::shared_ptr<FrameSink> sink = nullptr);

}  // namespace quorix
