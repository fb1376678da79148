#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "comm/can/can_message.hpp"
#include "comm/can/raw_socket.hpp"
#include "runtime/async_mutex.hpp"
#include "base/io_error.hpp"
#include "runtime/join_handle.hpp"
#include "runtime/mpsc.hpp"
#include "runtime/task.hpp"
#include "runtime/time.hpp"

namespace quorix {

/// Takes received frames straight from whichever thread read them, ahead of the incoming
/// queue: the reactor thread when the socket became readable, or the I/O task. Installed
/// when the device is opened, so that it sees every frame the device reads.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    /// Offered each received frame in the order they were read, one call at a time. True:
    /// the sink has taken it. False: the frame goes to the incoming queue in its turn, where
    /// receive calls find it; a sink that refuses a frame must also refuse the ones after it
    /// until the queued ones are dealt with, or they would overtake it. Must not wait for
    /// anything but a short non-waiting lock, throw, or touch Python: it may run on the
    /// reactor thread.
    virtual bool offer(const CanMessage& frame) noexcept = 0;
};

/// The non-blocking CAN device. Its raw socket belongs to an I/O task on the shared runtime
/// that moves frames between the socket and two unbounded queues: `outgoing` (written in the
/// order the sends completed) and `incoming` (read frames, oldest first, behind an
/// asynchronous mutex that serialises every reader).
///
/// Shared by reference counting: the Python object, a motor group and its devices hold the
/// same std::shared_ptr. When the last holder lets go, the outgoing queue closes; the I/O task
/// still writes what was queued before, then ends and closes the socket, also on a silent bus.
/// All members may be called from any thread at once.
class CanDeviceAsync {
public:
    /// Provisions the interface (ensure_can_interface) on the calling thread, opens a raw
    /// socket, registers it with the shared runtime (creating the runtime if needed) and
    /// starts the I/O task. Works on any thread, including a runtime worker running an async
    /// task (the worker hands its seat over while the provisioning commands run). Fails with
    /// the provisioning error unchanged, "Failed to open CAN Socket", or "IO error" (the
    /// socket could not be made non-blocking or registered); no task is started then.
    /// With a `sink`, received frames are offered to it first (FrameSink) until
    /// stop_receiving().
    static IoResult<std::shared_ptr<CanDeviceAsync>> open(std::string interface,
                                                          std::shared_ptr<FrameSink> sink = nullptr);

    /// The part of open() after provisioning and opening: takes `socket` (any descriptor
    /// that carries whole can_frame records), switches it to non-blocking mode, registers it
    /// and starts the I/O task. Fails with "IO error" (the socket is closed then).
    static IoResult<std::shared_ptr<CanDeviceAsync>> start(std::string interface, RawSocket socket,
                                                           std::shared_ptr<FrameSink> sink = nullptr);

    ~CanDeviceAsync() = default;
    CanDeviceAsync(const CanDeviceAsync&) = delete;
    CanDeviceAsync& operator=(const CanDeviceAsync&) = delete;

    /// Queues one frame for the I/O task and returns at once; never waits on the bus, never
    /// allocates once the queue has grown to its working size, wakes the I/O task only when
    /// it sleeps. The id and the payload are not checked here: an invalid frame (id above
    /// 0x1FFFFFFF, more than 8 bytes) is reported by the I/O task as a line
    /// "Failed to send CAN frame: {}" on fd 2. Fails with broken pipe "channel closed" only
    /// when the I/O task has ended. Throws rt::ForkedAfterStart in a process forked after the
    /// runtime started, which has no I/O task.
    IoResult<void> send_nonblocking(std::uint32_t id, ByteView data);

    /// The oldest received frame, or nullopt when none is queued; never waits for a frame,
    /// but waits for the incoming mutex while another reader holds it. Blocks the calling
    /// thread (run_blocking: a runtime worker hands its seat over first); not for tasks.
    std::optional<CanMessage> try_receive();

    /// Waits for the incoming mutex (without a limit), then up to `timeout_ms` for a frame.
    /// A queued frame is returned even with a time-out of 0; nullopt on time-out or when the
    /// I/O task has ended and nothing is queued. A time-out too long to represent never ends.
    /// Blocks the calling thread like try_receive.
    std::optional<CanMessage> receive_timeout(std::uint64_t timeout_ms);

    /// receive_timeout for tasks on the shared runtime: never blocks a worker thread. The
    /// mutex is released also when the awaiting task is cancelled. The returned task keeps
    /// the incoming queue alive, so it may outlive the device.
    [[nodiscard]] rt::Task<std::optional<CanMessage>> receive_timeout_async(rt::Duration timeout) const;

    /// Nobody will take received frames any more (the motor group whose feedback task read
    /// them is gone): what is queued is dropped and the I/O task stops keeping new ones,
    /// so a device kept only for sending holds no growing queue. The sink, if any, is let go
    /// and never offered a frame again once this returns. Sending is unaffected; receive
    /// calls return nothing from then on. Any thread.
    void stop_receiving();

    /// The name given to open(), unchanged.
    const std::string& interface() const noexcept { return interface_; }

    /// Frames read by the I/O task, and the mutex that lets one reader at a time take them.
    struct Incoming {
        explicit Incoming(rt::mpsc::Receiver<CanMessage> q) noexcept : queue(std::move(q)) {}
        rt::AsyncMutex mutex;
        rt::mpsc::Receiver<CanMessage> queue;
    };

    /// The receiving side shared by the I/O task and the reactor thread.
    class ReadSide;

    CanDeviceAsync(std::string interface, rt::mpsc::Sender<CanMessage> outgoing,
                   std::shared_ptr<Incoming> incoming, std::shared_ptr<ReadSide> reader,
                   rt::JoinHandle<void> io_task) noexcept;

private:
    std::string interface_;
    rt::mpsc::Sender<CanMessage> outgoing_;
    std::shared_ptr<Incoming> incoming_;
    std::shared_ptr<ReadSide> reader_;
    rt::JoinHandle<void> io_task_;  // ties the task to the device; never awaited or aborted
};

/// How long the I/O task pauses after a failed read.
inline constexpr std::chrono::milliseconds RECEIVE_ERROR_BACKOFF{100};

/// How long the I/O task waits before it retries a frame refused by a full transmit queue
/// (ENOBUFS). At 1 Mbit/s a queue of 10 frames takes about 1.2 ms to drain, so a retry
/// finds room before the queue runs dry.
inline constexpr std::chrono::microseconds TRANSMIT_QUEUE_BACKOFF{500};

/// After refusals for this long without a frame accepted the bus counts as dead: refused
/// frames are then reported and dropped, one try each, until a write succeeds again. Time
/// in which the I/O task itself could not run (a starved machine) does not count.
inline constexpr std::chrono::seconds DEAD_BUS_AFTER{1};

namespace testing {

/// The call by which I/O tasks write frames (sendmmsg's contract, errno included).
using SendFramesCall = int (*)(int fd, mmsghdr* msgs, unsigned count, int flags) noexcept;

/// Replaces that call for every I/O task (nullptr: the system call again), so that a test
/// can refuse writes as a full transmit queue does.
void replace_send_frames_call(SendFramesCall call) noexcept;

}  // namespace testing

}  // namespace quorix
