#include "instance/motor/can_link.hpp"

#include <utility>

#include "comm/can/can_device_async.hpp"

namespace quorix {
namespace {

// The production link: the group's non-blocking CAN device.
class AsyncDeviceLink final : public CanLink {
public:
    explicit AsyncDeviceLink(std::shared_ptr<CanDeviceAsync> device) noexcept : device_(std::move(device)) {}

    IoResult<void> send(std::uint32_t id, ByteView data) override {
        return device_->send_nonblocking(id, data);
    }

    rt::Task<std::optional<CanMessage>> receive(rt::Duration timeout) override {
        return device_->receive_timeout_async(timeout);
    }

    void stop_receiving() override { device_->stop_receiving(); }

private:
    std::shared_ptr<CanDeviceAsync> device_;
};

}  // namespace

std::shared_ptr<CanLink> can_link(std::shared_ptr<CanDeviceAsync> device) {
    return std::make_shared<AsyncDeviceLink>(std::move(device));
}

IoResult<std::shared_ptr<CanLink>> open_can_link(std::string interface, std::shared_ptr<FrameSink> sink) {
    auto device = CanDeviceAsync::open(std::move(interface), std::move(sink));
    if (!device) return std::move(device).error();
    return can_link(std::move(device).value());
}

}  // namespace quorix
