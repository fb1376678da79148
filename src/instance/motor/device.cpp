#include "instance/motor/device.hpp"

#include <thread>
#include <utility>

#include "comm/protocol/driver/control/dr_v1.hpp"
#include "runtime/block_on.hpp"

namespace quorix {

Device::Device(std::uint8_t slot_index, std::uint32_t node_id, FocMode mode, std::shared_ptr<CanLink> can,
               std::uint32_t host_id) noexcept
    : can_(std::move(can)),
      node_id_(node_id),
      host_id_(host_id),
      slot_index_(slot_index < TARGET_SLOTS ? slot_index : TARGET_SLOTS - 1),
      mode_(mode) {}

void Device::set_target(float value) noexcept {
    std::lock_guard lock(target_mu_);
    target_ = value;
}

float Device::get_target() const noexcept {
    std::lock_guard lock(target_mu_);
    return target_;
}

rt::Task<void> Device::update_feedback(Feedback feedback) {
    auto guard = co_await feedback_mu_.lock();
    feedback_ = feedback;
}

bool Device::try_store_feedback(const Feedback& feedback) noexcept {
    auto guard = feedback_mu_.try_lock();  // never jumps the queue, as in try_get_feedback
    if (!guard) return false;
    feedback_ = feedback;
    return true;
}

std::optional<Feedback> Device::try_get_feedback() noexcept {
    // try_lock succeeds only when nobody holds or waits for the lock, so taking this
    // shortcut never jumps the queue of the first-come-first-served mutex.
    auto guard = feedback_mu_.try_lock();
    if (!guard) return std::nullopt;
    return feedback_;
}

rt::Task<Feedback> Device::read_feedback_locked() {
    auto guard = co_await feedback_mu_.lock();
    co_return feedback_;
}

Feedback Device::get_feedback_blocking() {
    if (auto fb = try_get_feedback()) return *fb;
    return rt::run_blocking(read_feedback_locked());
}

IoResult<void> Device::send(const FramePayload& frame) { return can_->send(host_id_, frame); }

IoResult<void> Device::enter_configure() { return send_enter_configure_unicast(*can_, host_id_, node_id_); }

IoResult<void> Device::exit_configure() { return send(exit_configure_frame(dest_of(node_id_))); }

IoResult<void> Device::set_foc_mode(FocMode mode) {
    return send(set_foc_mode_frame(dest_of(node_id_), mode));
}

IoResult<void> Device::start_calibration() {
    return send_and_pause_for_calibration(*can_, host_id_, calibrate_frame(dest_of(node_id_)));
}

IoResult<void> send_enter_configure_unicast(CanLink& can, std::uint32_t host_id, std::uint32_t dest) {
    const auto frames = enter_configure_frames(dest_of(dest));
    if (auto sent = can.send(host_id, frames[0]); !sent) return sent;
    return can.send(host_id, frames[1]);
}

IoResult<void> send_and_pause_for_calibration(CanLink& can, std::uint32_t host_id,
                                              const FramePayload& frame) {
    if (auto sent = can.send(host_id, frame); !sent) return sent;
    // The driver needs the time to find its electrical zero; the caller must not send
    // anything else meanwhile. sleep_for resumes after signal interruptions.
    std::this_thread::sleep_for(CALIBRATE_WAIT);
    return {};
}

}  // namespace quorix
