#include "comm/can/can_device_async.hpp"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>
#include <variant>

#include "comm/can/provisioning.hpp"
#include "comm/can/unwritten_frames.hpp"
#include "runtime/async_fd.hpp"
#include "base/console.hpp"
#include "base/fork.hpp"
#include "runtime/block_on.hpp"
#include "runtime/runtime.hpp"
#include "runtime/select.hpp"

namespace quorix {

namespace {

using Incoming = CanDeviceAsync::Incoming;

int system_sendmmsg(int fd, mmsghdr* msgs, unsigned count, int flags) noexcept {
    return ::sendmmsg(fd, msgs, count, flags);
}

// How frames are written; a test replaces it to play a full transmit queue.
std::atomic<testing::SendFramesCall> SEND_FRAMES{system_sendmmsg};

// One whole line on fd 2, bypassing Python's sys.stderr (the I/O task runs without the
// interpreter lock). Assembled first so that lines of different threads do not mix.
void print_line(std::string_view prefix, std::string_view text) {
    std::string line;
    line.reserve(prefix.size() + text.size() + 1);
    line.append(prefix).append(text).push_back('\n');
    write_stderr(line);
}

void report_send_failure(const IoError& e) { print_line("Failed to send CAN frame: ", e.text); }
void report_receive_failure(const IoError& e) { print_line("Failed to receive CAN frame: ", e.text); }

// Frames moved per system call: what is queued, up to this many, goes in one recvmmsg or
// sendmmsg. Where system calls are dear (a guest kernel) this is what keeps the task ahead of
// a busy bus; a pass of either direction costs about one call, so neither gets more turns.
constexpr std::size_t BATCH = 32;

// The buffers of one batch. They point into themselves, so the object never moves: it lives
// in the I/O task's coroutine frame.
class FrameBatch {
public:
    FrameBatch() noexcept {
        std::memset(msgs_.data(), 0, sizeof msgs_);
        for (std::size_t i = 0; i < BATCH; ++i) {
            iov_[i] = {&frames_[i], sizeof(can_frame)};
            msgs_[i].msg_hdr.msg_iov = &iov_[i];
            msgs_[i].msg_hdr.msg_iovlen = 1;
        }
    }
    FrameBatch(const FrameBatch&) = delete;
    FrameBatch& operator=(const FrameBatch&) = delete;

    can_frame& frame(std::size_t i) noexcept { return frames_[i]; }
    /// A record of another size than a frame is a transfer error (EIO), as for a single read.
    bool whole(std::size_t i) const noexcept { return msgs_[i].msg_len == sizeof(can_frame); }

    /// Reads what is queued, up to BATCH records; 0 when nothing is (EAGAIN).
    IoResult<std::size_t> receive(int fd) noexcept {
        for (;;) {
            const int n = ::recvmmsg(fd, msgs_.data(), BATCH, MSG_DONTWAIT, nullptr);
            if (n >= 0) return static_cast<std::size_t>(n);
            const int code = errno;
            if (code == EINTR) continue;
            if (code == EAGAIN || code == EWOULDBLOCK) return std::size_t{0};
            return IoError::from_errno(code);
        }
    }

    /// The outcome of one send(): how many frames went, or the errno of the first one that
    /// did not (sendmmsg reports an error only for the first frame). Nothing went and no
    /// error: the socket would block (EAGAIN).
    struct Sent {
        std::size_t frames = 0;
        int error = 0;
    };

    /// Sends frames [from, to).
    Sent send(int fd, std::size_t from, std::size_t to) noexcept {
        const auto call = SEND_FRAMES.load(std::memory_order_relaxed);
        for (;;) {
            const int n = call(fd, &msgs_[from], static_cast<unsigned>(to - from), MSG_NOSIGNAL);
            if (n >= 0) return {static_cast<std::size_t>(n), 0};
            const int code = errno;
            if (code == EINTR) continue;
            if (code == EAGAIN || code == EWOULDBLOCK) return {};
            return {0, code};
        }
    }

private:
    std::array<can_frame, BATCH> frames_;
    std::array<iovec, BATCH> iov_;
    std::array<mmsghdr, BATCH> msgs_;
};

// Builds the frames of `first` and of what else is queued (up to BATCH messages) into the
// batch; a message that makes no valid frame is reported and dropped (and counts as
// finished). The number of frames.
std::size_t collect(FrameBatch& batch, const CanMessage& first, rt::mpsc::Receiver<CanMessage>& outgoing) {
    std::size_t count = 0;
    auto add = [&](const CanMessage& message) {
        auto frame = make_frame(message);
        if (!frame) {
            report_send_failure(frame.error());
            return unwritten_frames().finish(1);
        }
        batch.frame(count++) = *frame;
    };
    add(first);
    for (std::size_t taken = 1; taken < BATCH; ++taken) {
        auto more = outgoing.try_recv();
        if (!more) break;
        add(*more);
    }
    return count;
}

enum class ReadOutcome { Delivered, Failed, ReaderGone };

}  // namespace

// The receiving side. The I/O task and the reactor thread (as the socket's ReadHook) both
// read the socket; whoever holds `mu_` reads one batch and delivers it, to the sink or into
// the incoming queue, before letting go, so frames keep their order whichever thread reads
// them. The reactor thread only tries the lock: busy, it leaves the event to the I/O task.
//
// A failed read is reported by the thread that met it and pauses reading: the reactor thread
// reads nothing more until the I/O task has slept RECEIVE_ERROR_BACKOFF and resumes, as the
// task alone did before.
class CanDeviceAsync::ReadSide final : public rt::ReadHook {
public:
    ReadSide(int fd, rt::mpsc::Sender<CanMessage> incoming, std::shared_ptr<FrameSink> sink) noexcept
        : fd_(fd), incoming_(std::move(incoming)), sink_(std::move(sink)) {}

    // Reactor thread: reads one batch if nobody else reads; true if that drained the socket.
    // A full batch leaves the rest to the I/O task, so that a busy bus cannot keep the
    // reactor thread from its timers.
    bool on_readable() noexcept override {
        std::unique_lock lock(mu_, std::try_to_lock);
        if (!lock || fd_ < 0 || paused_ || reader_gone_) return false;
        const Pass pass = read_batch_locked();
        return pass.outcome == ReadOutcome::Delivered && pass.drained;
    }

    // I/O task: reads one batch. `ready` is the readiness that woke the task: it is cleared
    // once the socket is found drained. A frame that arrives after the read produces a new
    // readiness event, which the clear keeps, so nothing is missed. Failed without reading
    // when the reactor thread met a failure: the task pauses now, then calls resume().
    ReadOutcome read(rt::AsyncFd::Ready& ready) {
        std::lock_guard lock(mu_);
        if (reader_gone_) return ReadOutcome::ReaderGone;
        if (paused_) return ReadOutcome::Failed;
        const Pass pass = read_batch_locked();
        if (pass.drained) ready.clear_ready();
        return pass.outcome;
    }

    // The pause after a failed read is over.
    void resume() {
        std::lock_guard lock(mu_);
        paused_ = false;
    }

    // Frames are not offered to the sink any more.
    void drop_sink() {
        std::shared_ptr<FrameSink> gone;
        std::lock_guard lock(mu_);
        gone = std::move(sink_);  // let go after the lock: the sink may hold the device
    }

    // The socket is about to close: the reactor thread must not read its number any more.
    void close() {
        std::lock_guard lock(mu_);
        fd_ = -1;
    }

private:
    struct Pass {
        ReadOutcome outcome;
        bool drained;  // the read returned less than a full batch
    };

    Pass read_batch_locked() {
        auto n = batch_.receive(fd_);
        if (!n) {
            report_receive_failure(n.error());
            paused_ = true;
            return {ReadOutcome::Failed, false};
        }
        bool failed = false;
        for (std::size_t i = 0; i < *n; ++i) {
            if (!batch_.whole(i)) {
                report_receive_failure(IoError::from_errno(EIO));
                failed = true;
                continue;
            }
            const CanMessage message = to_message(batch_.frame(i));
            if (sink_ && sink_->offer(message)) continue;
            if (!incoming_.send(message)) {
                reader_gone_ = true;
                return {ReadOutcome::ReaderGone, false};
            }
        }
        paused_ = failed;
        return {failed ? ReadOutcome::Failed : ReadOutcome::Delivered, *n < BATCH};
    }

    std::mutex mu_;
    int fd_;                                 // guarded by mu_; -1 once the socket closes
    bool paused_ = false;                    // guarded by mu_: a failed read, until resume()
    bool reader_gone_ = false;               // guarded by mu_: the incoming queue is closed
    FrameBatch batch_;                       // guarded by mu_
    rt::mpsc::Sender<CanMessage> incoming_;  // guarded by mu_
    std::shared_ptr<FrameSink> sink_;        // guarded by mu_
};

namespace {

using ReadSide = CanDeviceAsync::ReadSide;

// The socket, its reactor registration and its receiving side, owned by the I/O task. The
// registration is declared after the socket so that it goes first: it must never outlive
// the descriptor; and the receiving side stops reading before either goes.
class IoEndpoint {
public:
    IoEndpoint(RawSocket s, rt::AsyncFd f, std::shared_ptr<ReadSide> r) noexcept
        : socket(std::move(s)), fd(std::move(f)), reader(std::move(r)) {}
    IoEndpoint(IoEndpoint&&) noexcept = default;
    ~IoEndpoint() {
        if (reader) reader->close();
    }

    RawSocket socket;
    rt::AsyncFd fd;
    std::shared_ptr<ReadSide> reader;
};

// Whether the interface's transmit queue takes frames, kept across batches. A full queue
// refuses a write with ENOBUFS at once, and the socket offers no readiness for queue space:
// the frame is retried after a short pause. After DEAD_BUS_AFTER of refusals without an
// accepted frame (no node acknowledges, bus-off) the bus counts as dead, and each frame then
// gets one try and is reported, until a write succeeds again.
//
// The time is summed from the gaps between refusals, each counted up to LONGEST_RETRY_GAP: a
// gap longer than that is a pause of this task (a starved machine, a stopped guest) rather
// than of the bus, which had no chance to drain the queue meanwhile either.
class TransmitQueue {
public:
    void accepted() noexcept {
        refused_for_ = rt::Duration::zero();
        last_refusal_.reset();
    }

    /// True: retry the frame after TRANSMIT_QUEUE_BACKOFF; false: report and drop it.
    bool retry_refused(rt::Instant now) noexcept {
        if (last_refusal_) refused_for_ += std::min<rt::Duration>(now - *last_refusal_, LONGEST_RETRY_GAP);
        last_refusal_ = now;
        return refused_for_ < DEAD_BUS_AFTER;
    }

private:
    static constexpr rt::Duration LONGEST_RETRY_GAP = RECEIVE_ERROR_BACKOFF + TRANSMIT_QUEUE_BACKOFF;

    rt::Duration refused_for_{0};
    std::optional<rt::Instant> last_refusal_;
};

// What a read asks of the loop: whether to pause after a failure (then resume the reading
// side); a vanished reader turns reading off for good.
bool pause_after(ReadOutcome outcome, bool& reading) noexcept {
    if (outcome == ReadOutcome::ReaderGone) reading = false;
    return outcome == ReadOutcome::Failed;
}

// The I/O task. Each pass waits for the next outgoing message or for the socket to become
// readable, looking at the two in a fresh random order, so neither direction has priority.
//
// It ends once the outgoing queue is closed and drained: every sender is gone, which happens
// only when the device and all its holders are gone; frames queued before that are still
// written. Returning destroys the frame, which closes the socket. Should the incoming queue's
// reader vanish first, received frames are dropped and only the outgoing queue is served.
//
// Every frame taken from the outgoing queue is finished in unwritten_frames() once it is
// written or reported.
//
// Everything is awaited on leaves directly (no nested coroutine), so a pass allocates nothing.
rt::Task<void> run_io(IoEndpoint io, rt::mpsc::Receiver<CanMessage> outgoing) {
    ReadSide& reader = *io.reader;
    FrameBatch batch;
    TransmitQueue transmit;
    bool reading = true;
    for (;;) {
        std::optional<CanMessage> message;
        if (!reading) {
            message = co_await outgoing.recv();
        } else {
            auto event = co_await rt::select(outgoing.recv(), io.fd.readable());
            if (event.index() == 1) {
                if (pause_after(reader.read(std::get<1>(event)), reading)) {
                    co_await rt::sleep(RECEIVE_ERROR_BACKOFF);
                    reader.resume();
                }
                continue;
            }
            message = std::move(std::get<0>(event));
        }
        if (!message) co_return;  // closed and drained
        const std::size_t count = collect(batch, *message, outgoing);
        // The frames are written at once; only a socket that reports EAGAIN is waited for
        // (reading nothing meanwhile), rather than retried in a busy loop that would keep a
        // worker spinning until the kernel frees buffer space. Readiness seen before a
        // second EAGAIN was stale: it is cleared so that the next wait is for a fresh edge.
        // A full transmit queue (ENOBUFS) keeps the frame first in line and retries it after
        // a pause in which received frames are still served. A frame whose write fails
        // otherwise is reported and lost; the others still go.
        std::size_t done = 0;
        bool waited = false;
        rt::AsyncFd::Ready ready;
        while (done < count) {
            const auto sent = batch.send(io.socket.fd(), done, count);
            if (sent.frames > 0) {
                transmit.accepted();
                done += sent.frames;
                unwritten_frames().finish(static_cast<std::int64_t>(sent.frames));
                continue;
            }
            if (sent.error == ENOBUFS && transmit.retry_refused(rt::now())) {
                const rt::Instant retry_at = rt::now() + TRANSMIT_QUEUE_BACKOFF;
                while (reading) {
                    auto event = co_await rt::select(rt::sleep_until(retry_at), io.fd.readable());
                    if (event.index() == 0) break;
                    if (pause_after(reader.read(std::get<1>(event)), reading)) {
                        co_await rt::sleep(RECEIVE_ERROR_BACKOFF);
                        reader.resume();
                    }
                }
                if (!reading) co_await rt::sleep_until(retry_at);
                continue;
            }
            if (sent.error != 0) {
                report_send_failure(IoError::from_errno(sent.error));
                ++done;
                unwritten_frames().finish(1);
                continue;
            }
            if (waited) ready.clear_ready();
            ready = co_await io.fd.writable();
            waited = true;
        }
    }
}

// Waits for the incoming mutex, then up to `timeout` for a message. The
// deadline is counted from the moment the mutex is held.
template <class D>
rt::Task<std::optional<CanMessage>> receive_within(std::shared_ptr<Incoming> in, D timeout) {
    auto guard = co_await in->mutex.lock();  // FIFO; released on return and on cancellation
    const rt::Instant deadline = rt::deadline_after(timeout);
    // The queue is looked at before the deadline, so a queued message wins a passed deadline.
    auto got = co_await rt::with_deadline(in->queue.recv(), deadline);
    if (!got) co_return std::nullopt;
    co_return std::move(*got);
}

rt::Task<std::optional<CanMessage>> take_queued(std::shared_ptr<Incoming> in) {
    auto guard = co_await in->mutex.lock();
    co_return in->queue.try_recv();
}

}  // namespace

CanDeviceAsync::CanDeviceAsync(std::string interface, rt::mpsc::Sender<CanMessage> outgoing,
                               std::shared_ptr<Incoming> incoming, std::shared_ptr<ReadSide> reader,
                               rt::JoinHandle<void> io_task) noexcept
    : interface_(std::move(interface)),
      outgoing_(std::move(outgoing)),
      incoming_(std::move(incoming)),
      reader_(std::move(reader)),
      io_task_(std::move(io_task)) {}

IoResult<std::shared_ptr<CanDeviceAsync>> CanDeviceAsync::open(std::string interface,
                                                               std::shared_ptr<FrameSink> sink) {
    {
        // The provisioning commands may take long (a sudo prompt): a worker thread gives its
        // seat to another thread first, so no task starves meanwhile.
        rt::BlockingSection section;
        if (auto provisioned = ensure_can_interface(interface); !provisioned)
            return std::move(provisioned).error();
    }
    auto socket = RawSocket::open(interface);
    if (!socket) return std::move(socket).error();
    return start(std::move(interface), std::move(socket).value(), std::move(sink));
}

IoResult<std::shared_ptr<CanDeviceAsync>> CanDeviceAsync::start(std::string interface, RawSocket socket,
                                                                std::shared_ptr<FrameSink> sink) {
    if (auto nonblocking = socket.set_nonblocking(); !nonblocking) return std::move(nonblocking).error();
    // Registering with the reactor needs no task context and never waits, so this works on
    // any thread. In particular a device (or a Motor) constructed by a function that an async
    // task runs on a worker thread gets its socket as from any other thread: the choice made
    // here is that of run_blocking, not a refusal.
    //
    // The reactor thread reads the socket itself as soon as it is readable (ReadSide), which
    // saves waking the I/O task for every received frame.
    auto [out_tx, out_rx] = rt::mpsc::channel<CanMessage>();
    auto [in_tx, in_rx] = rt::mpsc::channel<CanMessage>();
    auto reader = std::make_shared<ReadSide>(socket.fd(), std::move(in_tx), std::move(sink));
    auto fd = rt::AsyncFd::create(socket.fd(), reader);
    if (!fd) return IoError::other("IO error");  // `socket` closes on return
    auto incoming = std::make_shared<Incoming>(std::move(in_rx));
    auto task =
        rt::spawn(run_io(IoEndpoint(std::move(socket), std::move(fd).value(), reader), std::move(out_rx)));
    return std::make_shared<CanDeviceAsync>(std::move(interface), std::move(out_tx), std::move(incoming),
                                            std::move(reader), std::move(task));
}

IoResult<void> CanDeviceAsync::send_nonblocking(std::uint32_t id, ByteView data) {
    rt::check_not_forked_after_start();  // a forked child has no I/O task: the frame would be lost
    // Counted before it is queued, so the count never misses a frame the task may take.
    unwritten_frames().add(1);
    // The message keeps the payload inline with its true length, so an oversized one costs
    // no allocation here and the I/O task can still report it.
    if (!outgoing_.send(CanMessage::from(id, data))) {
        unwritten_frames().add(-1);
        return IoError::broken_pipe("channel closed");
    }
    return {};
}

void CanDeviceAsync::stop_receiving() {
    // The sink first: a frame it is no longer offered finds the queue closed below.
    reader_->drop_sink();
    incoming_->queue.close();
    // What is already queued goes too; try_recv takes the queue's own lock, so this is safe
    // beside a reader that still waits.
    while (incoming_->queue.try_recv()) {
    }
}

std::optional<CanMessage> CanDeviceAsync::try_receive() {
    // Uncontended, the mutex is taken and released here without involving the runtime.
    if (auto guard = incoming_->mutex.try_lock()) return incoming_->queue.try_recv();
    return rt::run_blocking(take_queued(incoming_));
}

std::optional<CanMessage> CanDeviceAsync::receive_timeout(std::uint64_t timeout_ms) {
    if (auto guard = incoming_->mutex.try_lock()) {
        if (auto message = incoming_->queue.try_recv()) return message;
        if (timeout_ms == 0) return std::nullopt;
    }
    return rt::run_blocking(
        receive_within(incoming_, std::chrono::duration<std::uint64_t, std::milli>(timeout_ms)));
}

rt::Task<std::optional<CanMessage>> CanDeviceAsync::receive_timeout_async(rt::Duration timeout) const {
    return receive_within(incoming_, timeout);
}

namespace testing {

void replace_send_frames_call(SendFramesCall call) noexcept {
    SEND_FRAMES.store(call ? call : system_sendmmsg, std::memory_order_relaxed);
}

}  // namespace testing

}  // namespace quorix
