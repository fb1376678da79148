#include "comm/can/can_device_async.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/can/unwritten_frames.hpp"
#include "runtime/block_on.hpp"
#include "base/fork.hpp"

namespace quorix {
namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> bytes(std::initializer_list<std::uint8_t> b) { return b; }

// A device whose "bus" is the other end of a datagram socket pair: it carries whole
// can_frame records both ways, like a raw CAN socket.
struct Bench {
    int peer = -1;
    int own = -1;  // the device's end, owned by its I/O task
    std::shared_ptr<CanDeviceAsync> device;

    explicit Bench(std::shared_ptr<FrameSink> sink = nullptr) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair");
        own = fds[0];
        peer = fds[1];
        auto started = CanDeviceAsync::start("pair0", RawSocket::adopt(fds[0]), std::move(sink));
        if (!started) throw std::runtime_error(started.error().text);
        device = std::move(started).value();
    }
    ~Bench() {
        // The peer outlives the I/O task, which would otherwise read end-of-file and report
        // it into the next test's output: the task is gone once it has closed its end.
        device.reset();
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (::fcntl(own, F_GETFD) >= 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        ::close(peer);
    }

    void peer_write(const can_frame& f) const { ASSERT_EQ(::write(peer, &f, sizeof f), ssize_t(sizeof f)); }

    // The next record the device wrote, or nullopt after `limit` (or at end-of-file).
    std::optional<can_frame> peer_read(std::chrono::milliseconds limit = 10s) const {
        pollfd p{peer, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
        can_frame f;
        if (::read(peer, &f, sizeof f) != ssize_t(sizeof f)) return std::nullopt;
        return f;
    }
};

can_frame frame_of(std::uint32_t id, std::vector<std::uint8_t> data) { return make_frame(id, data).value(); }

CanMessage message_of(std::uint32_t id, std::vector<std::uint8_t> data) { return CanMessage::from(id, data); }

bool same_frame(const can_frame& a, const can_frame& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Redirects fd 2 into a pipe for the lifetime of the object.
class StderrCapture {
public:
    StderrCapture() {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
        read_end_ = fds[0];
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(fds[1], STDERR_FILENO);
        ::close(fds[1]);
    }
    ~StderrCapture() {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        ::close(read_end_);
    }
    // What has been captured so far, without waiting.
    std::string so_far() { return text(0); }
    // Waits until the captured text holds `lines` newlines (or 10 s), then returns it.
    std::string text(int lines) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            char buf[512];
            const ssize_t n = ::read(read_end_, buf, sizeof buf);
            if (n > 0) {
                text_.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (std::count(text_.begin(), text_.end(), '\n') >= lines ||
                std::chrono::steady_clock::now() >= deadline)
                return text_;
            std::this_thread::sleep_for(1ms);
        }
    }

private:
    int read_end_ = -1;
    int saved_ = -1;
    std::string text_;
};

std::size_t open_descriptors() {
    std::size_t n = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dirent* e = ::readdir(dir)) n += e->d_name[0] != '.';
    ::closedir(dir);
    return n;
}

TEST(CanDeviceAsync, WritesQueuedFramesInOrder) {
    Bench bench;
    const std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> sent = {
        {0x7FF, {}}, {0x800, {1}}, {0x1FFFFFFF, {1, 2, 3, 4, 5, 6, 7, 8}}, {0x123, {0xDE, 0xAD}}};
    for (const auto& [id, data] : sent) ASSERT_TRUE(bench.device->send_nonblocking(id, data));
    for (const auto& [id, data] : sent) {
        auto got = bench.peer_read();
        ASSERT_TRUE(got);
        EXPECT_TRUE(same_frame(*got, frame_of(id, data))) << std::hex << id;
    }
}

// A forked child has no I/O task: a frame queued there would never be written, and a
// receive would wait for ever. Both refuse instead.
TEST(CanDeviceAsync, AForkedChildRefusesToSendOrWait) {
    Bench bench;
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int refused = 0;
        try {
            (void)bench.device->send_nonblocking(0x123, bytes({1}));
        } catch (const rt::ForkedAfterStart&) {
            ++refused;
        }
        try {
            (void)bench.device->receive_timeout(1);
        } catch (const rt::ForkedAfterStart&) {
            ++refused;
        }
        ::_exit(refused);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    EXPECT_FALSE(bench.peer_read(50ms));  // nothing reached the bus from the child
    ASSERT_TRUE(bench.device->send_nonblocking(0x7, bytes({2})));
    EXPECT_TRUE(bench.peer_read());
}

TEST(CanDeviceAsync, WaitsForBufferSpaceWithoutLosingFrames) {
    Bench bench;
    constexpr std::uint32_t N = 5000;  // far more than the pair's buffer holds: writes meet EAGAIN
    for (std::uint32_t i = 0; i < N; ++i) ASSERT_TRUE(bench.device->send_nonblocking(i, {}));
    std::this_thread::sleep_for(50ms);  // the task is now waiting for writability
    for (std::uint32_t i = 0; i < N; ++i) {
        auto got = bench.peer_read();
        ASSERT_TRUE(got) << i;
        ASSERT_EQ(got->can_id & CAN_EFF_MASK, i);
    }
}

TEST(CanDeviceAsync, QueuesReceivedFramesOldestFirst) {
    Bench bench;
    EXPECT_EQ(bench.device->try_receive(), std::nullopt);
    bench.peer_write(frame_of(0x10, {1}));
    bench.peer_write(frame_of(0x12345, {2, 3}));
    EXPECT_EQ(bench.device->receive_timeout(10'000), message_of(0x10, {1}));
    EXPECT_EQ(bench.device->receive_timeout(10'000), message_of(0x12345, {2, 3}));
    EXPECT_EQ(bench.device->receive_timeout(20), std::nullopt);
}

TEST(CanDeviceAsync, ZeroTimeoutReturnsQueuedFramesAtOnce) {
    Bench bench;
    bench.peer_write(frame_of(1, {}));
    bench.peer_write(frame_of(2, {}));
    // Let the I/O task queue both; the wait is for the task, not a claim about timing.
    const auto deadline = std::chrono::steady_clock::now() + 200ms;
    while (std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(bench.device->receive_timeout(0), message_of(1, {}));
    EXPECT_EQ(bench.device->receive_timeout(0), message_of(2, {}));
    EXPECT_EQ(bench.device->receive_timeout(0), std::nullopt);
}

TEST(CanDeviceAsync, ReportsInvalidFramesOnStderrAndCarriesOn) {
    StderrCapture err;
    Bench bench;
    ASSERT_TRUE(bench.device->send_nonblocking(0x123, bytes({1, 2, 3, 4, 5, 6, 7, 8, 9})));
    ASSERT_TRUE(bench.device->send_nonblocking(0x20000000, {}));
    ASSERT_TRUE(bench.device->send_nonblocking(0x20000000, bytes({1, 2, 3, 4, 5, 6, 7, 8, 9})));
    ASSERT_TRUE(bench.device->send_nonblocking(0x42, bytes({7})));
    auto got = bench.peer_read();
    ASSERT_TRUE(got);
    EXPECT_TRUE(same_frame(*got, frame_of(0x42, {7})));
    EXPECT_EQ(err.text(3),
              "Failed to send CAN frame: Payload is larger than CAN maximum of 8 bytes\n"
              "Failed to send CAN frame: CAN ID too large\n"
              "Failed to send CAN frame: Payload is larger than CAN maximum of 8 bytes\n");
}

TEST(CanDeviceAsync, EachFailedWriteIsReportedAndTheOthersStillGo) {
    StderrCapture err;
    Bench bench;
    ASSERT_EQ(::shutdown(bench.peer, SHUT_RD), 0);  // every write now fails with EPIPE
    for (std::uint32_t id = 1; id <= 3; ++id) ASSERT_TRUE(bench.device->send_nonblocking(id, {}));
    EXPECT_EQ(err.text(3),
              "Failed to send CAN frame: Broken pipe (os error 32)\n"
              "Failed to send CAN frame: Broken pipe (os error 32)\n"
              "Failed to send CAN frame: Broken pipe (os error 32)\n");
}

TEST(CanDeviceAsync, ReadFailureIsReportedAndTheTaskGoesOn) {
    StderrCapture err;
    Bench bench;
    const char junk[3] = {1, 2, 3};  // not a whole frame
    ASSERT_EQ(::write(bench.peer, junk, sizeof junk), 3);
    bench.peer_write(frame_of(0x55, {5}));
    EXPECT_EQ(bench.device->receive_timeout(10'000), message_of(0x55, {5}));
    EXPECT_EQ(err.text(1), "Failed to receive CAN frame: Input/output error (os error 5)\n");
}

TEST(CanDeviceAsync, TaskEndsWithTheLastHolderAfterWritingWhatWasQueued) {
    Bench bench;
    for (std::uint32_t id = 1; id <= 3; ++id) ASSERT_TRUE(bench.device->send_nonblocking(id, {}));
    bench.device.reset();  // nothing arrives on the peer side: a silent bus
    for (std::uint32_t id = 1; id <= 3; ++id) {
        auto got = bench.peer_read();
        ASSERT_TRUE(got);
        EXPECT_EQ(got->can_id, id);
    }
    // End-of-file: the task has closed its end of the pair.
    pollfd p{bench.peer, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10'000), 1);
    char c;
    EXPECT_EQ(::read(bench.peer, &c, 1), 0);
}

TEST(CanDeviceAsync, AHolderKeepsTheDeviceRunning) {
    Bench bench;
    auto holder = bench.device;
    bench.device.reset();
    ASSERT_TRUE(holder->send_nonblocking(9, bytes({9})));
    auto got = bench.peer_read();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->can_id, 9u);
}

TEST(CanDeviceAsync, DroppedDevicesLeaveNoDescriptorBehind) {
    { Bench warm_up; }  // the runtime's own descriptors are made once
    const std::size_t before = open_descriptors();
    for (int i = 0; i < 50; ++i) Bench bench;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (open_descriptors() > before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(open_descriptors(), before);
}

TEST(CanDeviceAsync, BothDirectionsProgressUnderLoad) {
    Bench bench;
    constexpr int N = 2000;
    std::thread flood([&] {
        for (int i = 0; i < N; ++i) bench.peer_write(frame_of(static_cast<std::uint32_t>(i), {}));
    });
    for (int i = 0; i < N; ++i)
        ASSERT_TRUE(bench.device->send_nonblocking(static_cast<std::uint32_t>(i), {}));
    for (int i = 0; i < N; ++i) {
        auto got = bench.peer_read();
        ASSERT_TRUE(got) << i;
        ASSERT_EQ(got->can_id, static_cast<std::uint32_t>(i));
    }
    for (int i = 0; i < N; ++i) {
        auto got = bench.device->receive_timeout(10'000);
        ASSERT_TRUE(got) << i;
        ASSERT_EQ(got->id, static_cast<std::uint32_t>(i));
    }
    flood.join();
}

rt::Task<std::optional<CanMessage>> receive_in_task(std::shared_ptr<CanDeviceAsync> device,
                                                    rt::Duration limit) {
    co_return co_await device->receive_timeout_async(limit);
}

TEST(CanDeviceAsync, AsyncReceiveWaitsInsideATask) {
    Bench bench;
    EXPECT_EQ(rt::block_on_runtime(receive_in_task(bench.device, 20ms)), std::nullopt);
    bench.peer_write(frame_of(0x77, {7, 7}));
    auto handle = rt::spawn(receive_in_task(bench.device, 10s));
    EXPECT_EQ(rt::block_on_runtime(
                  [](rt::JoinHandle<std::optional<CanMessage>> h) -> rt::Task<std::optional<CanMessage>> {
                      co_return co_await h;
                  }(std::move(handle))),
              message_of(0x77, {7, 7}));
}

TEST(CanDeviceAsync, CancelledAsyncReceiveReleasesTheMutex) {
    Bench bench;
    auto waiting = rt::spawn(receive_in_task(bench.device, 3600s));
    std::this_thread::sleep_for(20ms);  // let it take the mutex
    waiting.abort();
    bench.peer_write(frame_of(0x31, {}));
    EXPECT_EQ(bench.device->receive_timeout(10'000), message_of(0x31, {}));
}

TEST(CanDeviceAsync, HugeTimeoutMeansNoDeadline) {
    Bench bench;
    std::thread later([&] {
        std::this_thread::sleep_for(50ms);
        bench.peer_write(frame_of(0x99, {}));
    });
    EXPECT_EQ(bench.device->receive_timeout(UINT64_MAX), message_of(0x99, {}));
    later.join();
}

TEST(CanDeviceAsync, ConcurrentReceiversEachGetDistinctFrames) {
    Bench bench;
    constexpr int N = 200;
    std::vector<std::uint32_t> got[2];
    std::thread readers[2];
    for (int r = 0; r < 2; ++r) {
        readers[r] = std::thread([&, r] {
            while (auto m = bench.device->receive_timeout(1000)) got[r].push_back(m->id);
        });
    }
    for (int i = 0; i < N; ++i) bench.peer_write(frame_of(static_cast<std::uint32_t>(i), {}));
    for (auto& t : readers) t.join();
    std::vector<std::uint32_t> all(got[0]);
    all.insert(all.end(), got[1].begin(), got[1].end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), std::size_t{N});
    for (int i = 0; i < N; ++i) EXPECT_EQ(all[i], static_cast<std::uint32_t>(i));
}

// ---- a full transmit queue ------------------------------------------------------------------

// Writes refused with ENOBUFS on demand, as a full transmit queue refuses them: every call
// while `refuse_all` holds, the first `refuse_first` calls, and every `period`-th call.
std::atomic<bool> REFUSE_ALL{false};
std::atomic<unsigned long> REFUSE_FIRST{0};
std::atomic<unsigned> REFUSE_PERIOD{0};
std::atomic<unsigned long> SEND_CALLS{0};

int refusing_sendmmsg(int fd, mmsghdr* msgs, unsigned count, int flags) noexcept {
    const unsigned long call = SEND_CALLS.fetch_add(1) + 1;
    const unsigned period = REFUSE_PERIOD.load();
    if (REFUSE_ALL.load() || call <= REFUSE_FIRST.load() || (period != 0 && call % period == 0)) {
        errno = ENOBUFS;
        return -1;
    }
    return ::sendmmsg(fd, msgs, count, flags);
}

struct Refusals {
    unsigned period = 0;
    unsigned long first = 0;
    bool all = false;
};

// Installs the refusing call for one test and puts the system call back afterwards.
struct RefusingQueue {
    explicit RefusingQueue(Refusals r) {
        REFUSE_ALL = r.all;
        REFUSE_FIRST = r.first;
        REFUSE_PERIOD = r.period;
        SEND_CALLS = 0;
        testing::replace_send_frames_call(refusing_sendmmsg);
    }
    ~RefusingQueue() {
        testing::replace_send_frames_call(nullptr);
        REFUSE_ALL = false;
        REFUSE_FIRST = 0;
        REFUSE_PERIOD = 0;
    }
};

class RefusedWrites : public ::testing::TestWithParam<Refusals> {};

TEST_P(RefusedWrites, AreRetriedInOrderAndNoneIsLost) {
    StderrCapture err;
    RefusingQueue refusing(GetParam());
    Bench bench;
    constexpr std::uint32_t N = 300;
    for (std::uint32_t i = 0; i < N; ++i) ASSERT_TRUE(bench.device->send_nonblocking(i, bytes({1})));
    for (std::uint32_t i = 0; i < N; ++i) {
        auto got = bench.peer_read();
        ASSERT_TRUE(got) << i;
        ASSERT_EQ(got->can_id, i);
    }
    EXPECT_EQ(err.so_far(), "");
}

// Every second call (a queue that takes a batch, then is full again), every third, and a
// long run of refusals (a queue that stays full for a while).
INSTANTIATE_TEST_SUITE_P(CanDeviceAsync, RefusedWrites,
                         ::testing::Values(Refusals{.period = 2}, Refusals{.period = 3},
                                           Refusals{.first = 200}));

TEST(CanDeviceAsync, ReceivesWhileAWriteWaitsForQueueSpaceWithoutSpinning) {
    RefusingQueue refusing({.all = true});
    Bench bench;
    ASSERT_TRUE(bench.device->send_nonblocking(0x1, {}));
    bench.peer_write(frame_of(0x2, {2}));
    EXPECT_EQ(bench.device->receive_timeout(10'000), message_of(0x2, {2}));
    // Retries are paced by a timer: far fewer calls than a spinning loop would make.
    const unsigned long calls_before = SEND_CALLS.load();
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(200ms);
    const auto elapsed_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
            .count();
    EXPECT_LE(SEND_CALLS.load() - calls_before, static_cast<unsigned long>(10 * elapsed_ms + 100));
    REFUSE_ALL = false;
    auto got = bench.peer_read();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->can_id, 0x1u);
}

TEST(CanDeviceAsync, DeadBusReportsEachFrameOnceThenRecoversOnTheNextWrite) {
    StderrCapture err;
    RefusingQueue refusing({.all = true});
    Bench bench;
    for (std::uint32_t id = 1; id <= 3; ++id) ASSERT_TRUE(bench.device->send_nonblocking(id, {}));
    EXPECT_EQ(err.text(3),
              "Failed to send CAN frame: No buffer space available (os error 105)\n"
              "Failed to send CAN frame: No buffer space available (os error 105)\n"
              "Failed to send CAN frame: No buffer space available (os error 105)\n");
    REFUSE_ALL = false;
    ASSERT_TRUE(bench.device->send_nonblocking(4, {}));
    auto got = bench.peer_read();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->can_id, 4u);  // the dropped frames stay dropped
}

TEST(CanDeviceAsync, UnwrittenFramesAreCountedUntilWritten) {
    RefusingQueue refusing({.all = true});
    Bench bench;
    for (std::uint32_t id = 1; id <= 5; ++id) ASSERT_TRUE(bench.device->send_nonblocking(id, {}));
    EXPECT_GE(unwritten_frames().wait_until_finished(rt::now() + 50ms), 5);
    REFUSE_ALL = false;
    EXPECT_EQ(unwritten_frames().wait_until_finished(rt::now() + 10s), 0);
    for (std::uint32_t id = 1; id <= 5; ++id) {
        auto got = bench.peer_read();
        ASSERT_TRUE(got);
        EXPECT_EQ(got->can_id, id);
    }
}

TEST(CanDeviceAsync, ReportedFramesCountAsFinished) {
    StderrCapture err;
    Bench bench;
    ASSERT_TRUE(bench.device->send_nonblocking(0x20000000, {}));  // invalid
    ASSERT_EQ(::shutdown(bench.peer, SHUT_RD), 0);                // writes fail
    ASSERT_TRUE(bench.device->send_nonblocking(0x1, {}));
    EXPECT_EQ(unwritten_frames().wait_until_finished(rt::now() + 10s), 0);
    EXPECT_EQ(err.text(2),
              "Failed to send CAN frame: CAN ID too large\n"
              "Failed to send CAN frame: Broken pipe (os error 32)\n");
}

TEST(UnwrittenFrames, WaiterWakesWhenTheLastFrameIsFinishedOrGivesUpWithTheCountLeft) {
    UnwrittenFrames frames;
    frames.add(3);
    EXPECT_EQ(frames.wait_until_finished(rt::now() + 10ms), 3);
    std::thread writer([&] {
        frames.finish(2);
        frames.finish(1);
    });
    EXPECT_EQ(frames.wait_until_finished(rt::now() + 3600s), 0);
    writer.join();
    frames.add(1);
    frames.add(-1);  // a refused send takes its frame back
    EXPECT_EQ(frames.wait_until_finished(rt::now() + 3600s), 0);
}

// ---- received frames nobody takes -----------------------------------------------------------

TEST(CanDeviceAsync, StopReceivingDropsQueuedAndLaterFramesButSendingGoesOn) {
    Bench bench;
    bench.peer_write(frame_of(0x10, {1}));
    EXPECT_EQ(bench.device->receive_timeout(10'000), message_of(0x10, {1}));
    bench.peer_write(frame_of(0x11, {1}));
    bench.peer_write(frame_of(0x12, {1}));
    bench.device->stop_receiving();
    for (std::uint32_t i = 0; i < 100; ++i) bench.peer_write(frame_of(i, {}));
    ASSERT_TRUE(bench.device->send_nonblocking(0x42, bytes({7})));
    auto got = bench.peer_read();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->can_id, 0x42u);
    EXPECT_EQ(bench.device->try_receive(), std::nullopt);
    EXPECT_EQ(bench.device->receive_timeout(20), std::nullopt);
}

// ---- a frame sink ------------------------------------------------------------------------------

// Takes the frames with an even identifier and refuses the others.
class EvenSink final : public FrameSink {
public:
    bool offer(const CanMessage& frame) noexcept override {
        if (frame.id % 2 != 0) return false;
        std::lock_guard lock(mu_);
        taken_.push_back(frame.id);
        return true;
    }
    std::vector<std::uint32_t> taken() {
        std::lock_guard lock(mu_);
        return taken_;
    }

private:
    std::mutex mu_;
    std::vector<std::uint32_t> taken_;
};

// Frames read by the reactor thread and by the I/O task (a burst fills whole batches, which
// the reactor thread leaves to the task) reach the sink in order, and the refused ones reach
// the queue in order: none is lost, doubled or reordered.
TEST(CanDeviceAsync, SinkTakesItsFramesInOrderAndRefusedOnesAreQueuedInOrder) {
    auto sink = std::make_shared<EvenSink>();
    Bench bench(sink);
    constexpr std::uint32_t FRAMES = 400;
    std::vector<std::uint32_t> queued;
    std::thread reader([&] {
        while (queued.size() < FRAMES / 2) {
            auto got = bench.device->receive_timeout(10'000);
            if (!got) return;
            queued.push_back(got->id);
        }
    });
    for (std::uint32_t id = 0; id < FRAMES; ++id) bench.peer_write(frame_of(id, {1}));
    reader.join();
    std::vector<std::uint32_t> even, odd;
    for (std::uint32_t id = 0; id < FRAMES; ++id) (id % 2 ? odd : even).push_back(id);
    EXPECT_EQ(queued, odd);
    EXPECT_EQ(sink->taken(), even);
    EXPECT_EQ(bench.device->try_receive(), std::nullopt);
}

}  // namespace
}  // namespace quorix
