#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "comm/protocol/driver/control/feedback.hpp"
#include "comm/protocol/driver/control/foc_mode.hpp"
#include "instance/motor/can_link.hpp"
#include "runtime/async_mutex.hpp"
#include "base/io_error.hpp"
#include "runtime/task.hpp"

namespace quorix {

/// The host-side record of one motor driver of a motor group: its slot of the broadcast
/// target frame, node id, configured FOC mode, the target the next broadcast carries and
/// the latest feedback the driver reported. Shared (std::shared_ptr) between the group's
/// list, its feedback task and the Python Device objects; it stays usable, with its CAN
/// link, after the group is gone.
///
/// Locks: `target` behind a std::mutex held for one read or write (the group's broadcast
/// reads it while holding the device-list lock: list first, then target); `feedback`
/// behind an AsyncMutex that the feedback task awaits and Python threads wait for through
/// the runtime. No operation releases or takes the Python interpreter lock.
class Device {
public:
    /// A slot index above 3 is stored as 3. target 0.0, feedback all zero. Sends nothing.
    Device(std::uint8_t slot_index, std::uint32_t node_id, FocMode mode, std::shared_ptr<CanLink> can,
           std::uint32_t host_id) noexcept;

    static std::shared_ptr<Device> create(std::uint8_t slot_index, std::uint32_t node_id, FocMode mode,
                                          std::shared_ptr<CanLink> can, std::uint32_t host_id) {
        return std::make_shared<Device>(slot_index, node_id, mode, std::move(can), host_id);
    }

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    std::uint8_t slot_index() const noexcept { return slot_index_; }
    std::uint32_t node_id() const noexcept { return node_id_; }
    std::uint32_t host_id() const noexcept { return host_id_; }
    /// The mode given at creation; it scales this device's broadcast target for good.
    FocMode mode() const noexcept { return mode_; }

    /// Stores the physical target for the next broadcast; no range check. Any thread.
    void set_target(float value) noexcept;
    float get_target() const noexcept;

    /// For the feedback task: awaits the feedback lock and replaces all three values.
    rt::Task<void> update_feedback(Feedback feedback);
    /// Replaces all three values if the feedback lock is free and nobody waits for it; false
    /// (nothing stored) otherwise. Never waits: for the reactor thread.
    bool try_store_feedback(const Feedback& feedback) noexcept;
    /// The latest feedback if the lock is free and nobody waits for it; never waits.
    std::optional<Feedback> try_get_feedback() noexcept;
    /// The latest feedback (zeros before the first frame). Waits for the feedback lock
    /// through the runtime (run_blocking), so it also works on a runtime worker thread.
    Feedback get_feedback_blocking();

    /// The two enter-configure frames for this driver (the second only if the first was
    /// accepted). Returns the first failure.
    IoResult<void> enter_configure();
    /// The end-session frame for this driver.
    IoResult<void> exit_configure();
    /// The set-FOC-mode frame for this driver. The recorded mode stays as it was.
    IoResult<void> set_foc_mode(FocMode mode);
    /// The calibrate frame for this driver; once it was accepted, the calling thread sleeps
    /// CALIBRATE_WAIT (200 ms). A refused frame returns at once.
    IoResult<void> start_calibration();

#if QUORIX_TEST_HOOKS
    /// The feedback lock, for tests that hold it.
    rt::AsyncMutex& feedback_mutex_for_tests() noexcept { return feedback_mu_; }
#endif

private:
    rt::Task<Feedback> read_feedback_locked();
    IoResult<void> send(const std::array<std::uint8_t, 8>& frame);

    std::shared_ptr<CanLink> can_;
    rt::AsyncMutex feedback_mu_;
    Feedback feedback_;  // guarded by feedback_mu_
    const std::uint32_t node_id_;
    const std::uint32_t host_id_;
    mutable std::mutex target_mu_;
    float target_ = 0.0f;  // guarded by target_mu_
    const std::uint8_t slot_index_;
    const FocMode mode_;
};

/// The two enter-configure frames for `dest` (its low 16 bits) under `host_id`: the first,
/// then, only if it was accepted, the second. Returns the first failure. Shared by
/// Device::enter_configure and the group's add_device.
IoResult<void> send_enter_configure_unicast(CanLink& can, std::uint32_t host_id, std::uint32_t dest);

/// Sends `frame` under `host_id`; if it was accepted, sleeps CALIBRATE_WAIT on the calling
/// thread (through signal interruptions) before returning.
IoResult<void> send_and_pause_for_calibration(CanLink& can, std::uint32_t host_id,
                                              const std::array<std::uint8_t, 8>& frame);

}  // namespace quorix
