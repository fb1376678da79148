#include "instance/motor/motor.hpp"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <utility>

#include "comm/can/can_device_async.hpp"
#include "comm/protocol/driver/control/dr_v1.hpp"
#include "base/console.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace quorix {
namespace {

// Diagnostics are formatted into one buffer and written in one call, so lines from
// several threads never interleave. snprintf reports the untruncated length: clamp it.
void write_line(const char* line, int len, std::size_t capacity) noexcept {
    if (len <= 0) return;
    write_stderr(std::string_view(line, std::min(static_cast<std::size_t>(len), capacity - 1)));
}

[[gnu::cold]] void warn_unexpected_length(const CanMessage& msg) noexcept {
    char line[96];
    const int n =
        std::snprintf(line, sizeof line, "Warning: ignoring CAN frame 0x%X with unexpected length %u\n",
                      static_cast<unsigned>(msg.id), static_cast<unsigned>(msg.len));
    write_line(line, n, sizeof line);
}

[[gnu::cold]] void report_unmatched(const CanMessage& msg) noexcept {
    char line[128];
    int n = std::snprintf(line, sizeof line, "[Motor] unmatched feedback frame: id=0x%X, data=[",
                          static_cast<unsigned>(msg.id));
    const ByteView data = msg.payload();
    for (std::size_t i = 0; i < data.size(); ++i) {
        n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), i ? ", %u" : "%u",
                           static_cast<unsigned>(data[i]));
    }
    n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "]\n");
    write_line(line, n, sizeof line);
}

std::shared_ptr<Device> first_with_node_id(DeviceList& list, std::uint32_t node_id) {
    std::lock_guard lock(list.mu);
    for (const auto& d : list.devices) {
        if (d->node_id() == node_id) return d;
    }
    return nullptr;
}

void note_store(FeedbackStats& stats) noexcept {
    stats.stored.fetch_add(1, std::memory_order_relaxed);
#if QUORIX_TEST_HOOKS
    stats.last_store_ns.store(
        std::chrono::duration_cast<std::chrono::nanoseconds>(rt::now().time_since_epoch()).count(),
        std::memory_order_relaxed);
#endif
}

// Counts a frame taken from the queue as dealt with when its pass ends, however it ends.
struct HandledOnExit {
    DeviceList& list;
    ~HandledOnExit() { list.handled.fetch_add(1, std::memory_order_release); }
};

class FeedbackSink final : public FrameSink {
public:
    explicit FeedbackSink(std::shared_ptr<DeviceList> list) noexcept : list_(std::move(list)) {}

    bool offer(const CanMessage& msg) noexcept override {
        DeviceList& list = *list_;
        // Calls come one at a time (the CAN device's read lock), so `queued_` is ours alone.
        if (list.handled.load(std::memory_order_acquire) != queued_) return to_queue();
        const std::optional<Feedback> feedback = decode_feedback(msg.payload());
        if (!feedback) return to_queue();
        // Devices are never removed and the list outlives this call, so the pointer stays
        // good once the list lock is let go; the feedback lock is only tried after that.
        Device* device = nullptr;
        {
            std::unique_lock lock(list.mu, std::try_to_lock);
            if (!lock) return to_queue();
            for (const auto& d : list.devices) {
                if (d->node_id() == msg.id) {
                    device = d.get();
                    break;
                }
            }
        }
        if (!device || !device->try_store_feedback(*feedback)) return to_queue();
        list.stats.received.fetch_add(1, std::memory_order_relaxed);
        note_store(list.stats);
        return true;
    }

private:
    bool to_queue() noexcept {
        ++queued_;
        return false;
    }

    std::shared_ptr<DeviceList> list_;
    std::uint64_t queued_ = 0;  // frames refused, hence queued for the feedback task
};

}  // namespace

std::shared_ptr<FrameSink> feedback_sink(std::shared_ptr<DeviceList> list) {
    return std::make_shared<FeedbackSink>(std::move(list));
}

rt::Task<void> run_feedback_task(std::shared_ptr<CanLink> can, std::shared_ptr<DeviceList> list) {
    for (;;) {
        const rt::Instant started = rt::now();
        std::optional<CanMessage> msg = co_await can->receive(FEEDBACK_RECEIVE_TIMEOUT);
        if (!msg) {
            // A receive that gave up early means the device's queue is closed for good: wait
            // out the attempt instead of spinning on a worker thread.
            co_await rt::sleep_until(started + FEEDBACK_RECEIVE_TIMEOUT);
            continue;
        }
        const HandledOnExit handled{*list};
        list->stats.received.fetch_add(1, std::memory_order_relaxed);
        const std::optional<Feedback> feedback = decode_feedback(msg->payload());
        if (!feedback) {
            list->stats.ignored.fetch_add(1, std::memory_order_relaxed);
            warn_unexpected_length(*msg);
            continue;
        }
        // The list lock is released before the feedback lock is awaited.
        std::shared_ptr<Device> device = first_with_node_id(*list, msg->id);
        if (!device) {
            list->stats.unmatched.fetch_add(1, std::memory_order_relaxed);
            report_unmatched(*msg);
            continue;
        }
        co_await device->update_feedback(*feedback);
        note_store(list->stats);
    }
}

IoResult<Motor> Motor::open(std::string interface, std::uint32_t host_id) {
    // Feedback is stored by the thread that reads it, mostly the reactor thread: one wake
    // per frame instead of three. The feedback task serves what the sink leaves to it.
    auto list = std::make_shared<DeviceList>();
    auto can = open_can_link(std::move(interface), feedback_sink(list));
    if (!can) return std::move(can).error();
    return Motor(std::move(can).value(), host_id, std::move(list));
}

Motor::Motor(std::shared_ptr<CanLink> can, std::uint32_t host_id, std::shared_ptr<DeviceList> list)
    : can_(std::move(can)), list_(std::move(list)), host_id_(host_id) {
    receive_task_ = rt::spawn(run_feedback_task(can_, list_));
}

Motor::~Motor() {
    receive_task_.abort();
    // The feedback task and the sink were the only readers of the device's received frames;
    // the device lives on in every Device of the group, and would otherwise queue what it
    // reads without end. Letting go of the sink also ends the loop of references from the
    // device through the sink and the list back to the device.
    if (can_) can_->stop_receiving();
}

IoResult<std::shared_ptr<Device>> Motor::add_device(std::uint8_t slot_index, std::uint32_t node_id,
                                                    FocMode mode) {
    if (auto sent = send_enter_configure_unicast(*can_, host_id_, node_id); !sent)
        return std::move(sent).error();
    auto device = Device::create(slot_index, node_id, mode, can_, host_id_);
    if (auto sent = device->set_foc_mode(mode); !sent) return std::move(sent).error();
    if (auto sent = device->exit_configure(); !sent) return std::move(sent).error();
    {
        std::lock_guard lock(list_->mu);
        list_->devices.push_back(device);
    }
    return device;
}

std::shared_ptr<Device> Motor::device_in_slot(std::uint8_t slot_index) const {
    std::lock_guard lock(list_->mu);
    for (const auto& d : list_->devices) {
        if (d->slot_index() == slot_index) return d;
    }
    return nullptr;
}

void Motor::set_target(std::uint8_t slot_index, float value) {
    if (auto d = device_in_slot(slot_index)) d->set_target(value);
}

std::optional<Feedback> Motor::get_feedback(std::uint8_t slot_index) {
    auto d = device_in_slot(slot_index);
    if (!d) return std::nullopt;
    return d->get_feedback_blocking();
}

IoResult<void> Motor::broadcast() {
    FramePayload frame{};
    {
        std::lock_guard lock(list_->mu);
        // Registration order: a later device of a shared slot overwrites an earlier one.
        for (const auto& d : list_->devices)
            put_slot_target(frame, d->slot_index(), d->get_target(), d->mode());
    }
    return can_->send(host_id_, frame);
}

IoResult<void> Motor::enter_configure_broadcast() {
    return send_enter_configure_unicast(*can_, host_id_, BROADCAST_DEST);
}

IoResult<void> Motor::exit_configure_broadcast() {
    return can_->send(host_id_, exit_configure_frame(BROADCAST_DEST));
}

IoResult<void> Motor::calibrate_broadcast() {
    return send_and_pause_for_calibration(*can_, host_id_, calibrate_frame(BROADCAST_DEST));
}

IoResult<void> Motor::set_foc_mode_broadcast(FocMode mode) {
    return can_->send(host_id_, set_foc_mode_frame(BROADCAST_DEST, mode));
}

std::vector<std::shared_ptr<Device>> Motor::devices() const {
    std::lock_guard lock(list_->mu);
    return list_->devices;
}

std::size_t Motor::device_count() const {
    std::lock_guard lock(list_->mu);
    return list_->devices.size();
}

}  // namespace quorix
