#include "instance/motor/motor.hpp"

#include <fcntl.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "comm/can/can_device_async.hpp"
#include "comm/can/raw_socket.hpp"
#include "comm/protocol/driver/control/dr_v1.hpp"
#include "runtime/async_mutex.hpp"
#include "runtime/mpsc.hpp"
#include "runtime/select.hpp"

namespace quorix {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

struct Sent {
    std::uint32_t id;
    Bytes data;
    friend bool operator==(const Sent&, const Sent&) = default;
};

void PrintTo(const Sent& s, std::ostream* os) {
    *os << std::hex << "0x" << s.id << ":";
    for (auto b : s.data) *os << " " << static_cast<int>(b);
}

// A link that records what is sent, refuses sends once `accept_limit` frames went out, and
// hands received frames to the feedback task through a channel.
class FakeLink final : public CanLink {
public:
    FakeLink() {
        auto [tx, rx] = rt::mpsc::channel<CanMessage>();
        tx_.emplace(std::move(tx));
        rx_.emplace(std::move(rx));
    }

    IoResult<void> send(std::uint32_t id, ByteView data) override {
        std::lock_guard lock(mu_);
        if (sent_.size() >= accept_limit_) return IoError::broken_pipe("channel closed");
        sent_.push_back({id, Bytes(data.begin(), data.end())});
        return {};
    }

    rt::Task<std::optional<CanMessage>> receive(rt::Duration timeout) override {
        auto got = co_await rt::with_deadline(rx_->recv(), rt::deadline_after(timeout));
        if (!got) co_return std::nullopt;
        co_return std::move(*got);
    }

    void deliver(std::uint32_t id, Bytes data) { tx_->send(CanMessage::from(id, data)); }
    void refuse_after(std::size_t accepted) {
        std::lock_guard lock(mu_);
        accept_limit_ = accepted;
    }
    std::vector<Sent> sent() {
        std::lock_guard lock(mu_);
        return sent_;
    }

private:
    std::mutex mu_;
    std::vector<Sent> sent_;
    std::size_t accept_limit_ = SIZE_MAX;
    std::optional<rt::mpsc::Sender<CanMessage>> tx_;
    std::optional<rt::mpsc::Receiver<CanMessage>> rx_;
};

constexpr std::uint32_t HOST = 0x100;

Sent frame(std::uint32_t id, const FramePayload& p) { return {id, Bytes(p.begin(), p.end())}; }

// Polls `done` until it holds or a generous limit passes (the machine may be busy).
bool eventually(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

struct Group {
    std::shared_ptr<FakeLink> link = std::make_shared<FakeLink>();
    Motor motor{link, HOST};
};

// ---- registration --------------------------------------------------------------------------

TEST(MotorAddDevice, SendsEnterTwiceSetModeAndEndOfSessionInOrder) {
    Group g;
    auto d = g.motor.add_device(0, 0x201, FocMode::Speed);
    ASSERT_TRUE(d.ok());
    const std::vector<Sent> expected = {
        {HOST, {0x44, 0x52, 0x31, 0x73, 0x01, 0x02, 0x03, 0x54}},
        {HOST, {0x44, 0x52, 0x31, 0x74, 0x01, 0x02, 0x03, 0x53}},
        {HOST, {0x44, 0x52, 0x31, 0xFF, 0x01, 0x02, 0x11, 0xCA}},
        {HOST, {0x44, 0x52, 0x31, 0xFF, 0x01, 0x02, 0x00, 0xDB}},
    };
    EXPECT_EQ(g.link->sent(), expected);
    EXPECT_EQ(g.motor.device_count(), 1u);
    EXPECT_EQ((*d)->host_id(), HOST);
    EXPECT_EQ((*d)->mode(), FocMode::Speed);
}

class MotorAddDeviceRefused : public ::testing::TestWithParam<std::size_t> {};

// The first refused frame ends the sequence and nothing is registered.
TEST_P(MotorAddDeviceRefused, StopsAtTheRefusedFrameAndRegistersNothing) {
    Group g;
    g.link->refuse_after(GetParam());
    auto d = g.motor.add_device(1, 0x202, FocMode::Current);
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().text, "channel closed");
    EXPECT_EQ(g.link->sent().size(), GetParam());
    EXPECT_EQ(g.motor.device_count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(AtEachFrame, MotorAddDeviceRefused, ::testing::Values(0u, 1u, 2u, 3u));

TEST(MotorAddDevice, SlotAboveThreeIsStoredAsThreeAndDestIsLow16Bits) {
    Group g;
    auto d = g.motor.add_device(9, 0x12345, FocMode::Position);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ((*d)->slot_index(), 3);
    EXPECT_EQ((*d)->node_id(), 0x12345u);
    EXPECT_EQ(g.link->sent()[3], frame(HOST, exit_configure_frame(0x2345)));
    EXPECT_EQ(g.link->sent()[3].data[4], 0x45);
    EXPECT_EQ(g.link->sent()[3].data[5], 0x23);
}

// ---- broadcast -----------------------------------------------------------------------------

struct BroadcastCase {
    const char* name;
    std::vector<std::tuple<std::uint8_t, FocMode, float>> devices;  // slot, mode, target
    Bytes expected;
};

void PrintTo(const BroadcastCase& c, std::ostream* os) { *os << c.name; }

class MotorBroadcast : public ::testing::TestWithParam<BroadcastCase> {};

TEST_P(MotorBroadcast, PacksTargetsInRegistrationOrder) {
    Group g;
    for (const auto& [slot, mode, target] : GetParam().devices) {
        auto d = g.motor.add_device(slot, 0x200 + slot, mode);
        ASSERT_TRUE(d.ok());
        (*d)->set_target(target);
    }
    const auto before = g.link->sent().size();
    ASSERT_TRUE(g.motor.broadcast().ok());
    const auto sent = g.link->sent();
    ASSERT_EQ(sent.size(), before + 1);
    EXPECT_EQ(sent.back(), (Sent{HOST, GetParam().expected}));
}

INSTANTIATE_TEST_SUITE_P(
    Frames, MotorBroadcast,
    ::testing::Values(
        BroadcastCase{"Empty", {}, {0, 0, 0, 0, 0, 0, 0, 0}},
        BroadcastCase{"Slots0And2",
                      {{0, FocMode::Speed, 10.0f}, {2, FocMode::Speed, -5.0f}},
                      {0x64, 0x00, 0x00, 0x00, 0xCE, 0xFF, 0x00, 0x00}},
        BroadcastCase{"SharedSlotLastWins",
                      {{0, FocMode::Speed, 1.0f}, {0, FocMode::Speed, 2.0f}},
                      {20, 0, 0, 0, 0, 0, 0, 0}},
        BroadcastCase{"Slot9WritesSlot3", {{9, FocMode::Current, 1.23456f}}, {0, 0, 0, 0, 0, 0, 0x7B, 0x00}},
        BroadcastCase{"MixedModes",
                      {{1, FocMode::Position, 3.14159f}, {3, FocMode::Current, -0.019f}},
                      {0, 0, 0x3A, 0x01, 0, 0, 0xFF, 0xFF}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MotorBroadcast, SharedSlotReachesTheFirstDeviceBySlot) {
    Group g;
    auto first = g.motor.add_device(0, 0x201, FocMode::Speed);
    auto second = g.motor.add_device(0, 0x202, FocMode::Speed);
    ASSERT_TRUE(first.ok() && second.ok());
    g.motor.set_target(0, 1.5f);
    EXPECT_EQ((*first)->get_target(), 1.5f);
    EXPECT_EQ((*second)->get_target(), 0.0f);
    EXPECT_EQ(g.motor.device_in_slot(0), *first);
}

TEST(MotorBroadcast, SlotArgumentIsComparedWithTheStoredSlot) {
    Group g;
    auto d = g.motor.add_device(9, 0x201, FocMode::Speed);
    ASSERT_TRUE(d.ok());
    g.motor.set_target(9, 4.0f);
    EXPECT_EQ((*d)->get_target(), 0.0f);
    EXPECT_FALSE(g.motor.get_feedback(9).has_value());
    g.motor.set_target(3, 4.0f);
    EXPECT_EQ((*d)->get_target(), 4.0f);
    EXPECT_TRUE(g.motor.get_feedback(3).has_value());
}

TEST(MotorBroadcast, ModeChangedOnTheWireKeepsTheRecordedScale) {
    Group g;
    auto d = g.motor.add_device(0, 0x201, FocMode::Speed);
    ASSERT_TRUE(d.ok());
    ASSERT_TRUE((*d)->set_foc_mode(FocMode::Position).ok());
    ASSERT_TRUE(g.motor.set_foc_mode_broadcast(FocMode::Position).ok());
    (*d)->set_target(1.0f);
    ASSERT_TRUE(g.motor.broadcast().ok());
    EXPECT_EQ(g.link->sent().back(), (Sent{HOST, {10, 0, 0, 0, 0, 0, 0, 0}}));
    EXPECT_EQ((*d)->mode(), FocMode::Speed);
}

TEST(MotorBroadcast, RefusedSendIsReturned) {
    Group g;
    g.link->refuse_after(0);
    auto r = g.motor.broadcast();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text, "channel closed");
}

// ---- configuration commands ----------------------------------------------------------------

TEST(MotorConfigure, BroadcastCommandsUseDestFFFF) {
    Group g;
    ASSERT_TRUE(g.motor.enter_configure_broadcast().ok());
    ASSERT_TRUE(g.motor.set_foc_mode_broadcast(FocMode::Current).ok());
    ASSERT_TRUE(g.motor.exit_configure_broadcast().ok());
    const std::vector<Sent> expected = {
        {HOST, {0x44, 0x52, 0x31, 0x73, 0xFF, 0xFF, 0x03, 0x57}},
        {HOST, {0x44, 0x52, 0x31, 0x74, 0xFF, 0xFF, 0x03, 0x50}},
        {HOST, {0x44, 0x52, 0x31, 0xFF, 0xFF, 0xFF, 0x10, 0xC8}},
        {HOST, {0x44, 0x52, 0x31, 0xFF, 0xFF, 0xFF, 0x00, 0xD8}},
    };
    EXPECT_EQ(g.link->sent(), expected);
}

TEST(MotorConfigure, RefusedFirstEnterFrameSendsNoSecond) {
    Group g;
    auto d = g.motor.add_device(0, 0x201, FocMode::Speed);
    ASSERT_TRUE(d.ok());
    g.link->refuse_after(4);
    EXPECT_FALSE(g.motor.enter_configure_broadcast().ok());
    EXPECT_FALSE((*d)->enter_configure().ok());
    EXPECT_EQ(g.link->sent().size(), 4u);
    g.link->refuse_after(5);
    EXPECT_FALSE((*d)->enter_configure().ok());  // first accepted, second refused
    EXPECT_EQ(g.link->sent().back(), frame(HOST, enter_configure_frames(0x0201)[0]));
}

TEST(MotorConfigure, UnicastCommandsOfADevice) {
    Group g;
    auto d = g.motor.add_device(0, 0x201, FocMode::Speed);
    ASSERT_TRUE(d.ok());
    ASSERT_TRUE((*d)->enter_configure().ok());
    ASSERT_TRUE((*d)->set_foc_mode(FocMode::Position).ok());
    ASSERT_TRUE((*d)->exit_configure().ok());
    const auto sent = g.link->sent();
    const std::vector<Sent> tail(sent.end() - 4, sent.end());
    const std::vector<Sent> expected = {
        {HOST, {0x44, 0x52, 0x31, 0x73, 0x01, 0x02, 0x03, 0x54}},
        {HOST, {0x44, 0x52, 0x31, 0x74, 0x01, 0x02, 0x03, 0x53}},
        {HOST, {0x44, 0x52, 0x31, 0xFF, 0x01, 0x02, 0x12, 0xC9}},
        {HOST, {0x44, 0x52, 0x31, 0xFF, 0x01, 0x02, 0x00, 0xDB}},
    };
    EXPECT_EQ(tail, expected);
}

using Clock = std::chrono::steady_clock;

class Calibration : public ::testing::TestWithParam<bool> {};

// An accepted calibrate frame pauses the caller for CALIBRATE_WAIT; a refused one does not.
TEST_P(Calibration, PausesOnlyAfterAnAcceptedFrame) {
    const bool broadcast = GetParam();
    Group g;
    auto d = g.motor.add_device(0, 0x201, FocMode::Speed);
    ASSERT_TRUE(d.ok());
    auto calibrate = [&] { return broadcast ? g.motor.calibrate_broadcast() : (*d)->start_calibration(); };

    auto t0 = Clock::now();
    ASSERT_TRUE(calibrate().ok());
    EXPECT_GE(Clock::now() - t0, CALIBRATE_WAIT);
    EXPECT_EQ(g.link->sent().back(), frame(HOST, calibrate_frame(broadcast ? BROADCAST_DEST : 0x0201)));

    g.link->refuse_after(0);
    t0 = Clock::now();
    EXPECT_FALSE(calibrate().ok());
    EXPECT_LT(Clock::now() - t0, CALIBRATE_WAIT / 2);
}

INSTANTIATE_TEST_SUITE_P(UnicastAndBroadcast, Calibration, ::testing::Bool());

// ---- feedback ------------------------------------------------------------------------------

const Bytes FEEDBACK_EXAMPLE = {0x00, 0x00, 0xC0, 0x3F, 0x85, 0xFF, 0xFA, 0x00};

TEST(MotorFeedback, ZerosBeforeAnyFrame) {
    Group g;
    auto d = g.motor.add_device(2, 0x203, FocMode::Speed);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ((*d)->get_feedback_blocking(), Feedback{});
    EXPECT_EQ(g.motor.get_feedback(2), Feedback{});
    EXPECT_FALSE(g.motor.get_feedback(1).has_value());
}

TEST(MotorFeedback, StoredInTheFirstDeviceWithTheNodeId) {
    Group g;
    auto other = g.motor.add_device(0, 0x201, FocMode::Speed);
    auto first = g.motor.add_device(1, 0x202, FocMode::Speed);
    auto twin = g.motor.add_device(2, 0x202, FocMode::Speed);
    ASSERT_TRUE(other.ok() && first.ok() && twin.ok());
    g.link->deliver(0x202, FEEDBACK_EXAMPLE);
    ASSERT_TRUE(eventually([&] { return g.motor.feedback_stats().stored.load() == 1; }));
    const Feedback expected{1.5f, -12.3f, 2.5f};
    EXPECT_EQ((*first)->get_feedback_blocking(), expected);
    EXPECT_EQ(g.motor.get_feedback(1), expected);
    EXPECT_EQ((*twin)->get_feedback_blocking(), Feedback{});
    EXPECT_EQ((*other)->get_feedback_blocking(), Feedback{});
}

// Node ids that share their low 16 bits (the part a frame's dest field carries) are still
// different devices: feedback is matched on the whole id, in either registration order.
class MotorFeedbackWholeId : public ::testing::TestWithParam<std::pair<std::uint32_t, std::uint32_t>> {};

TEST_P(MotorFeedbackWholeId, FrameLandsOnlyInTheDeviceWithTheSameWholeId) {
    const auto [first_id, second_id] = GetParam();
    Group g;
    auto first = g.motor.add_device(0, first_id, FocMode::Speed);
    auto second = g.motor.add_device(1, second_id, FocMode::Speed);
    ASSERT_TRUE(first.ok() && second.ok());
    const Feedback example{1.5f, -12.3f, 2.5f};
    g.link->deliver(second_id, FEEDBACK_EXAMPLE);
    ASSERT_TRUE(eventually([&] { return g.motor.feedback_stats().stored.load() == 1; }));
    EXPECT_EQ((*second)->get_feedback_blocking(), example);
    EXPECT_EQ((*first)->get_feedback_blocking(), Feedback{});

    g.link->deliver(first_id, {0x00, 0x00, 0x00, 0x40, 0x64, 0x00, 0x32, 0x00});
    ASSERT_TRUE(eventually([&] { return g.motor.feedback_stats().stored.load() == 2; }));
    EXPECT_EQ((*first)->get_feedback_blocking(), (Feedback{2.0f, 10.0f, 0.5f}));
    EXPECT_EQ((*second)->get_feedback_blocking(), example);
    EXPECT_EQ(g.motor.feedback_stats().unmatched.load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(SameLow16Bits, MotorFeedbackWholeId,
                         ::testing::Values(std::pair<std::uint32_t, std::uint32_t>{0x201, 0x10201},
                                           std::pair<std::uint32_t, std::uint32_t>{0x10201, 0x201}));

TEST(MotorFeedback, WrongLengthAndUnknownIdsAreCountedAndSkipped) {
    Group g;
    auto d = g.motor.add_device(0, 0x201, FocMode::Speed);
    ASSERT_TRUE(d.ok());
    g.link->deliver(0x201, {1, 2, 3, 4, 5, 6});
    g.link->deliver(0x7FF, {1, 2, 3, 4, 5, 6, 7, 8});
    g.link->deliver(0x201, FEEDBACK_EXAMPLE);
    ASSERT_TRUE(eventually([&] { return g.motor.feedback_stats().stored.load() == 1; }));
    EXPECT_EQ(g.motor.feedback_stats().received.load(), 3u);
    EXPECT_EQ(g.motor.feedback_stats().ignored.load(), 1u);
    EXPECT_EQ(g.motor.feedback_stats().unmatched.load(), 1u);
    EXPECT_EQ((*d)->get_feedback_blocking().position, 1.5f);
}

// Readers racing the feedback task take the lock now directly, now through the runtime;
// either way they see whole records.
TEST(MotorFeedback, ReadersRacingTheTaskSeeWholeRecords) {
    Group g;
    auto d = g.motor.add_device(0, 0x201, FocMode::Speed);
    ASSERT_TRUE(d.ok());
    constexpr int FRAMES = 2000;
    std::atomic<bool> torn{false};
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const Feedback fb = (*d)->get_feedback_blocking();
                if (fb.position != fb.speed || fb.speed != fb.current) torn = true;
            }
        });
    }
    for (int k = 1; k <= FRAMES; ++k) {
        // position k (f32), speed 10k / 10, current 100k / 100: all three read back as k.
        const float position = static_cast<float>(k % 300);
        const auto speed = static_cast<std::int16_t>(10 * (k % 300));
        const auto current = static_cast<std::int16_t>(100 * (k % 300));
        Bytes data(8);
        std::memcpy(data.data(), &position, 4);
        std::memcpy(data.data() + 4, &speed, 2);
        std::memcpy(data.data() + 6, &current, 2);
        g.link->deliver(0x201, data);
    }
    ASSERT_TRUE(eventually([&] { return g.motor.feedback_stats().stored.load() == FRAMES; }));
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_FALSE(torn.load());
    EXPECT_EQ((*d)->get_feedback_blocking().position, static_cast<float>(FRAMES % 300));
}

TEST(MotorFeedback, DeviceOutlivesItsGroupAndTheTaskLetsGo) {
    std::shared_ptr<Device> d;
    std::weak_ptr<FakeLink> link;
    {
        Group g;
        link = g.link;
        auto added = g.motor.add_device(0, 0x201, FocMode::Speed);
        ASSERT_TRUE(added.ok());
        d = *added;
        g.link->deliver(0x201, FEEDBACK_EXAMPLE);
        ASSERT_TRUE(eventually([&] { return g.motor.feedback_stats().stored.load() == 1; }));
    }
    // The device keeps the link; the cancelled task has dropped its own reference.
    ASSERT_TRUE(eventually([&] { return link.use_count() == 1; }));
    d->set_target(-2.5f);
    EXPECT_EQ(d->get_target(), -2.5f);
    EXPECT_EQ(d->get_feedback_blocking(), (Feedback{1.5f, -12.3f, 2.5f}));
    EXPECT_TRUE(d->exit_configure().ok());
    d.reset();
    EXPECT_TRUE(link.expired());
}

// ---- feedback stored by the thread that reads it ----------------------------------------------

// A group whose link offers every frame to the group's sink first and queues the refused
// ones for the feedback task, as the CAN device does.
struct SinkGroup {
    std::shared_ptr<FakeLink> link = std::make_shared<FakeLink>();
    std::shared_ptr<DeviceList> list = std::make_shared<DeviceList>();
    std::shared_ptr<FrameSink> sink = feedback_sink(list);
    Motor motor{link, HOST, list};

    bool offer(std::uint32_t id, const Bytes& data) { return sink->offer(CanMessage::from(id, data)); }
    bool offer_or_queue(std::uint32_t id, const Bytes& data) {
        if (offer(id, data)) return true;
        link->deliver(id, data);
        return false;
    }
};

const Bytes FEEDBACK_OTHER = {0x00, 0x00, 0x00, 0x40, 0x64, 0x00, 0x32, 0x00};  // 2.0, 10.0, 0.5

enum class Refusal { ListLockHeld, FeedbackLockHeld, WrongLength, UnknownId };

class MotorFeedbackSink : public ::testing::TestWithParam<Refusal> {};

// What the sink cannot store at once without waiting goes to the feedback task, which stores
// or reports it: nothing is lost, every frame is counted once, and once the task has caught up
// the sink stores the next frame itself.
TEST_P(MotorFeedbackSink, RefusedFrameIsLeftToTheTaskAndTheNextOneIsStoredAtOnce) {
    SinkGroup g;
    auto d = g.motor.add_device(0, 0x201, FocMode::Speed);
    ASSERT_TRUE(d.ok());
    const Refusal refusal = GetParam();
    {
        std::unique_lock<std::mutex> list_lock;
        std::optional<rt::AsyncMutexGuard> feedback_lock;
        if (refusal == Refusal::ListLockHeld) list_lock = std::unique_lock(g.list->mu);
        if (refusal == Refusal::FeedbackLockHeld) feedback_lock = (*d)->feedback_mutex_for_tests().try_lock();
        const std::uint32_t id = refusal == Refusal::UnknownId ? 0x7FF : 0x201;
        const Bytes data = refusal == Refusal::WrongLength ? Bytes{1, 2, 3, 4, 5, 6} : FEEDBACK_EXAMPLE;
        EXPECT_FALSE(g.offer_or_queue(id, data));
    }
    ASSERT_TRUE(eventually([&] { return g.list->handled.load() == 1; }));
    const bool stored = refusal == Refusal::ListLockHeld || refusal == Refusal::FeedbackLockHeld;
    EXPECT_EQ((*d)->get_feedback_blocking(), (stored ? Feedback{1.5f, -12.3f, 2.5f} : Feedback{}));
    EXPECT_TRUE(g.offer(0x201, FEEDBACK_OTHER));
    EXPECT_EQ((*d)->get_feedback_blocking(), (Feedback{2.0f, 10.0f, 0.5f}));
    const FeedbackStats& stats = g.motor.feedback_stats();
    EXPECT_EQ(stats.received.load(), 2u);
    EXPECT_EQ(stats.stored.load(), stored ? 2u : 1u);
    EXPECT_EQ(stats.ignored.load(), refusal == Refusal::WrongLength ? 1u : 0u);
    EXPECT_EQ(stats.unmatched.load(), refusal == Refusal::UnknownId ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Refusals, MotorFeedbackSink,
                         ::testing::Values(Refusal::ListLockHeld, Refusal::FeedbackLockHeld,
                                           Refusal::WrongLength, Refusal::UnknownId));

// A frame that could be stored at once still waits while an earlier one is queued, so the
// older value never lands last.
TEST(MotorFeedbackSink, LaterFramesWaitBehindAQueuedOne) {
    SinkGroup g;
    auto d = g.motor.add_device(0, 0x201, FocMode::Speed);
    ASSERT_TRUE(d.ok());
    {
        auto held = (*d)->feedback_mutex_for_tests().try_lock();
        ASSERT_TRUE(held);
        EXPECT_FALSE(g.offer(0x201, FEEDBACK_EXAMPLE));
    }
    EXPECT_FALSE(g.offer(0x201, FEEDBACK_OTHER));  // the lock is free, but the first is not stored yet
    g.link->deliver(0x201, FEEDBACK_EXAMPLE);
    g.link->deliver(0x201, FEEDBACK_OTHER);
    ASSERT_TRUE(eventually([&] { return g.list->handled.load() == 2; }));
    EXPECT_EQ((*d)->get_feedback_blocking(), (Feedback{2.0f, 10.0f, 0.5f}));
    EXPECT_TRUE(g.offer(0x201, FEEDBACK_EXAMPLE));
    EXPECT_EQ((*d)->get_feedback_blocking(), (Feedback{1.5f, -12.3f, 2.5f}));
    EXPECT_EQ(g.motor.feedback_stats().stored.load(), 3u);
}

// ---- over the real non-blocking device ------------------------------------------------------

// Both ways a group may take its feedback: through the device's queue only, or stored by the
// thread that reads it (the group's sink, as Motor::open sets up).
class MotorOverCanDevice : public ::testing::TestWithParam<bool> {
protected:
    // The device's end of a socket pair, the peer playing the bus.
    std::shared_ptr<CanDeviceAsync> open_device() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair");
        own = fds[0];
        peer.emplace(RawSocket::adopt(fds[1]));
        auto opened = CanDeviceAsync::start("pair0", RawSocket::adopt(fds[0]),
                                            GetParam() ? feedback_sink(list) : nullptr);
        if (!opened) throw std::runtime_error(opened.error().text);
        return std::move(opened).value();
    }
    // The peer closes only once the device's I/O task has closed its end, which would
    // otherwise read end-of-file and report it.
    ~MotorOverCanDevice() override {
        list.reset();
        eventually([&] { return ::fcntl(own, F_GETFD) < 0; });
    }

    std::shared_ptr<DeviceList> list = std::make_shared<DeviceList>();
    int own = -1;
    std::optional<RawSocket> peer;
};

INSTANTIATE_TEST_SUITE_P(QueueAndSink, MotorOverCanDevice, ::testing::Bool());

TEST_P(MotorOverCanDevice, BroadcastReachesThePeerAndFeedbackComesBack) {
    Motor motor(can_link(open_device()), HOST, list);

    auto d = motor.add_device(1, 0x201, FocMode::Speed);
    ASSERT_TRUE(d.ok());
    (*d)->set_target(-5.0f);
    ASSERT_TRUE(motor.broadcast().ok());
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(peer->read_frame().ok());  // the registration frames
    auto target_frame = peer->read_frame();
    ASSERT_TRUE(target_frame.ok());
    const CanMessage got = to_message(*target_frame);
    EXPECT_EQ(got.id, HOST);
    EXPECT_EQ(Bytes(got.payload().begin(), got.payload().end()), (Bytes{0, 0, 0xCE, 0xFF, 0, 0, 0, 0}));

    ASSERT_TRUE(peer->write_frame(make_frame(0x201, FEEDBACK_EXAMPLE).value()).ok());
    ASSERT_TRUE(eventually([&] { return motor.feedback_stats().stored.load() == 1; }));
    EXPECT_EQ((*d)->get_feedback_blocking(), (Feedback{1.5f, -12.3f, 2.5f}));
}

// The group's sink is let go with the group: later frames are neither stored nor queued, and
// nothing keeps the list alive in a loop through the device.
TEST_P(MotorOverCanDevice, DeviceLeftBehindByItsGroupKeepsNoReceivedFrames) {
    std::shared_ptr<CanDeviceAsync> device = open_device();
    const std::weak_ptr<DeviceList> weak_list = list;
    std::shared_ptr<Device> d;
    {
        Motor motor(can_link(device), HOST, std::move(list));
        auto added = motor.add_device(0, 0x201, FocMode::Speed);
        ASSERT_TRUE(added.ok());
        d = *added;
    }
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(peer->read_frame().ok());  // the registration frames
    for (std::uint32_t i = 0; i < 200; ++i)
        ASSERT_TRUE(peer->write_frame(make_frame(0x201, FEEDBACK_EXAMPLE).value()).ok());
    // Sending through the orphaned device still works, and nothing was queued meanwhile.
    ASSERT_TRUE(d->exit_configure().ok());
    auto end_session = peer->read_frame();
    ASSERT_TRUE(end_session.ok());
    EXPECT_EQ(to_message(*end_session).id, HOST);
    EXPECT_EQ(device->receive_timeout(100), std::nullopt);
    EXPECT_EQ(d->get_feedback_blocking(), Feedback{});
    ASSERT_TRUE(eventually([&] { return weak_list.expired(); }));
}

}  // namespace
}  // namespace quorix
