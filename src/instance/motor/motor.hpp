#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "comm/protocol/driver/control/feedback.hpp"
#include "comm/protocol/driver/control/foc_mode.hpp"
#include "instance/motor/can_link.hpp"
#include "instance/motor/device.hpp"
#include "base/io_error.hpp"
#include "runtime/join_handle.hpp"

namespace quorix {

class FrameSink;

/// One receive attempt of the feedback task.
inline constexpr std::chrono::milliseconds FEEDBACK_RECEIVE_TIMEOUT{100};

/// Counters of one group's feedback task (relaxed atomics: statistics only).
struct FeedbackStats {
    std::atomic<std::uint64_t> received{0};   ///< frames taken from the CAN device or its sink
    std::atomic<std::uint64_t> stored{0};     ///< decoded and stored in a device
    std::atomic<std::uint64_t> ignored{0};    ///< wrong length
    std::atomic<std::uint64_t> unmatched{0};  ///< no device with the frame's identifier
#if QUORIX_TEST_HOOKS
    std::atomic<std::int64_t> last_store_ns{0};  ///< monotonic clock just after the last store
#endif
};

/// The registered devices of a group, in registration order, shared with its feedback task.
/// `mu` is held only for short, non-waiting work and never across a send, a wait or a
/// suspension; a device's target lock may be taken under it, its feedback lock never.
struct DeviceList {
    std::mutex mu;
    std::vector<std::shared_ptr<Device>> devices;  // guarded by mu
    FeedbackStats stats;
    /// Frames the feedback task has taken from the CAN device's queue and dealt with
    /// (release): the group's frame sink stores nothing itself until this has caught up with
    /// what it sent to the queue, so a frame never overtakes an earlier one.
    std::atomic<std::uint64_t> handled{0};
};

/// The group's frame sink (FrameSink): on the thread that read the frame (the reactor thread,
/// mostly) it decodes a feedback frame and stores it in the first device with the frame's
/// identifier, without waiting for anything. Every frame it cannot store so (a lock is
/// held, a wrong length, an unknown identifier, an earlier frame still queued) goes to the
/// feedback task through the CAN device's queue, which also prints the diagnostics.
std::shared_ptr<FrameSink> feedback_sink(std::shared_ptr<DeviceList> list);

/// A broadcast group: one CAN device, one host id, and the drivers registered in the four
/// slots of the broadcast target frame. A feedback task on the shared runtime decodes the
/// drivers' feedback frames and stores them in the matching Device from the moment the
/// group exists until it is destroyed. Every operation may be called from any thread.
class Motor {
public:
    /// Opens the CAN device on `interface` (provisioning, then the socket) and starts the
    /// feedback task. Sends nothing; any host id is accepted. Fails with the device's error,
    /// and then no task is started.
    static IoResult<Motor> open(std::string interface, std::uint32_t host_id);

    /// A group on an already open link (tests): starts the feedback task. `list` is the one
    /// the link's frame sink stores into, if it has one.
    Motor(std::shared_ptr<CanLink> can, std::uint32_t host_id,
          std::shared_ptr<DeviceList> list = std::make_shared<DeviceList>());

    Motor(Motor&&) noexcept = default;
    Motor& operator=(Motor&&) = delete;
    Motor(const Motor&) = delete;
    /// Cancels the feedback task, which lets go of its handles at its next await point, and
    /// tells the CAN link that received frames need not be kept any more; devices still
    /// held elsewhere keep the CAN device open for sending.
    ~Motor();

    std::uint32_t host_id() const noexcept { return host_id_; }

    /// Enter-configure (x2), set FOC mode, end session for `node_id`, back to back; then
    /// registers the new device (slot above 3 stored as 3). The first refused frame ends the
    /// sequence, registers nothing and is returned; frames already sent stay sent.
    IoResult<std::shared_ptr<Device>> add_device(std::uint8_t slot_index, std::uint32_t node_id,
                                                 FocMode mode);

    /// Sets the target of the first registered device in `slot_index`; nothing if none.
    void set_target(std::uint8_t slot_index, float value);
    /// The feedback of the first registered device in `slot_index`; nothing if none.
    /// May wait for that device's feedback lock (run_blocking).
    std::optional<Feedback> get_feedback(std::uint8_t slot_index);
    /// The first registered device in `slot_index`, or null.
    std::shared_ptr<Device> device_in_slot(std::uint8_t slot_index) const;

    /// Packs every device's target into one frame (registration order: the last device of a
    /// shared slot wins; empty slots 0) and queues it under the host id. Always sends, also
    /// with no device. Allocates nothing.
    IoResult<void> broadcast();

    /// Configuration commands to every driver (dest 0xFFFF).
    IoResult<void> enter_configure_broadcast();
    IoResult<void> exit_configure_broadcast();
    /// Sleeps 200 ms on the calling thread once the frame was accepted.
    IoResult<void> calibrate_broadcast();
    /// Changes no device's recorded mode.
    IoResult<void> set_foc_mode_broadcast(FocMode mode);

    /// A copy of the device list, in registration order.
    std::vector<std::shared_ptr<Device>> devices() const;
    std::size_t device_count() const;
    /// The feedback task's counters.
    const FeedbackStats& feedback_stats() const noexcept { return list_->stats; }

private:
    std::shared_ptr<CanLink> can_;
    std::shared_ptr<DeviceList> list_;
    rt::JoinHandle<void> receive_task_;
    std::uint32_t host_id_;
};

/// The feedback task of a group (exposed for tests): receives with FEEDBACK_RECEIVE_TIMEOUT,
/// reports wrong-length frames and unknown identifiers on standard error, stores decoded
/// feedback in the first device with the frame's identifier as node id. Runs until cancelled.
rt::Task<void> run_feedback_task(std::shared_ptr<CanLink> can, std::shared_ptr<DeviceList> list);

}  // namespace quorix
