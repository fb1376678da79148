#include "comm/can/can_device_async.hpp"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>
#include <variant>

#include "comm/can/provisioning.hpp"
#include "runtime/fork.hpp"
#include "runtime/async_fd.hpp"
#include "runtime/console.hpp"
#include "runtime/block_on.hpp"
#include "runtime/runtime.hpp"
#include "runtime/select.hpp"

namespace quorix {

namespace {

using Incoming = CanDeviceAsync::Incoming;

// The socket and its reactor registration, owned by the I/O task. The registration is
// declared second so that it goes first: it must never outlive the descriptor.
struct IoEndpoint {
    RawSocket socket;
    rt::AsyncFd fd;
};

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

    /// Sends frames [from, to): how many went, 0 when the socket would block (EAGAIN), or
    /// the error of frame `from` (sendmmsg reports an error only for the first frame).
    IoResult<std::size_t> send(int fd, std::size_t from, std::size_t to) noexcept {
        for (;;) {
            const int n = ::sendmmsg(fd, &msgs_[from], static_cast<unsigned>(to - from), MSG_NOSIGNAL);
            if (n >= 0) return static_cast<std::size_t>(n);
            const int code = errno;
            if (code == EINTR) continue;
            if (code == EAGAIN || code == EWOULDBLOCK) return std::size_t{0};
            return IoError::from_errno(code);
        }
    }

private:
    std::array<can_frame, BATCH> frames_;
    std::array<iovec, BATCH> iov_;
    std::array<mmsghdr, BATCH> msgs_;
};

// Builds the frames of `first` and of what else is queued (up to BATCH messages) into the
// batch; a message that makes no valid frame is reported and dropped. The number of frames.
std::size_t collect(FrameBatch& batch, const CanMessage& first, rt::mpsc::Receiver<CanMessage>& outgoing) {
    std::size_t count = 0;
    auto add = [&](const CanMessage& message) {
        auto frame = make_frame(message);
        if (!frame) return report_send_failure(frame.error());
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

// Reads what the socket holds and queues it, oldest first. `ready` is the readiness that
// woke the task: it is cleared once the socket is found drained. A frame that arrives after
// the read produces a new readiness event, which the clear keeps, so nothing is missed.
ReadOutcome read_available(int fd, FrameBatch& batch, rt::AsyncFd::Ready& ready,
                           rt::mpsc::Sender<CanMessage>& incoming) {
    auto n = batch.receive(fd);
    if (!n) {
        report_receive_failure(n.error());
        return ReadOutcome::Failed;
    }
    if (*n < BATCH) ready.clear_ready();
    bool failed = false;
    for (std::size_t i = 0; i < *n; ++i) {
        if (!batch.whole(i)) {
            report_receive_failure(IoError::from_errno(EIO));
            failed = true;
            continue;
        }
        if (!incoming.send(to_message(batch.frame(i)))) return ReadOutcome::ReaderGone;
    }
    return failed ? ReadOutcome::Failed : ReadOutcome::Delivered;
}

// The I/O task. Each pass waits for the next outgoing message or for the socket to become
// readable, looking at the two in a fresh random order, so neither direction has priority.
//
// It ends once the outgoing queue is closed and drained: every sender is gone, which happens
// only when the device and all its holders are gone; frames queued before that are still
// written. Returning destroys the frame, which closes the socket. Should the incoming queue's
// reader vanish first, received frames are dropped and only the outgoing queue is served.
//
// Everything is awaited on leaves directly (no nested coroutine), so a pass allocates nothing.
rt::Task<void> run_io(IoEndpoint io, rt::mpsc::Receiver<CanMessage> outgoing,
                      rt::mpsc::Sender<CanMessage> incoming) {
    FrameBatch batch;
    bool reading = true;
    for (;;) {
        std::optional<CanMessage> message;
        if (!reading) {
            message = co_await outgoing.recv();
        } else {
            auto event = co_await rt::select(outgoing.recv(), io.fd.readable());
            if (event.index() == 1) {
                switch (read_available(io.socket.fd(), batch, std::get<1>(event), incoming)) {
                    case ReadOutcome::Delivered: break;
                    case ReadOutcome::Failed:
                        co_await rt::sleep(RECEIVE_ERROR_BACKOFF);  // neither reads nor sends meanwhile
                        break;
                    case ReadOutcome::ReaderGone: reading = false; break;
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
        // A frame whose write fails is reported and lost; the others still go.
        std::size_t done = 0;
        bool waited = false;
        rt::AsyncFd::Ready ready;
        while (done < count) {
            auto sent = batch.send(io.socket.fd(), done, count);
            if (!sent) {
                report_send_failure(sent.error());
                ++done;
                continue;
            }
            if (*sent > 0) {
                done += *sent;
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
                               std::shared_ptr<Incoming> incoming, rt::JoinHandle<void> io_task) noexcept
    : interface_(std::move(interface)),
      outgoing_(std::move(outgoing)),
      incoming_(std::move(incoming)),
      io_task_(std::move(io_task)) {}

IoResult<std::shared_ptr<CanDeviceAsync>> CanDeviceAsync::open(std::string interface) {
    {
        // The provisioning commands may take long (a sudo prompt): a worker thread gives its
        // seat to another thread first, so no task starves meanwhile.
        rt::BlockingSection section;
        if (auto provisioned = ensure_can_interface(interface); !provisioned)
            return std::move(provisioned).error();
    }
    auto socket = RawSocket::open(interface);
    if (!socket) return std::move(socket).error();
    return start(std::move(interface), std::move(socket).value());
}

IoResult<std::shared_ptr<CanDeviceAsync>> CanDeviceAsync::start(std::string interface, RawSocket socket) {
    if (auto nonblocking = socket.set_nonblocking(); !nonblocking) return std::move(nonblocking).error();
    // Registering with the reactor needs no task context and never waits, so this works on
    // any thread. In particular a device (or a Motor) constructed by a function that an async
    // task runs on a worker thread gets its socket as from any other thread: the choice made
    // here is that of run_blocking, not a refusal.
    auto fd = rt::AsyncFd::create(socket.fd());
    if (!fd) return IoError::other("IO error");  // `socket` closes on return
    auto [out_tx, out_rx] = rt::mpsc::channel<CanMessage>();
    auto [in_tx, in_rx] = rt::mpsc::channel<CanMessage>();
    auto incoming = std::make_shared<Incoming>(std::move(in_rx));
    auto task = rt::spawn(
        run_io(IoEndpoint{std::move(socket), std::move(fd).value()}, std::move(out_rx), std::move(in_tx)));
    return std::make_shared<CanDeviceAsync>(std::move(interface), std::move(out_tx), std::move(incoming),
                                            std::move(task));
}

IoResult<void> CanDeviceAsync::send_nonblocking(std::uint32_t id, ByteView data) {
    rt::check_not_forked_after_start();  // a forked child has no I/O task: the frame would be lost
    // The message keeps the payload inline with its true length, so an oversized one costs
    // no allocation here and the I/O task can still report it.
    if (!outgoing_.send(CanMessage::from(id, data))) return IoError::broken_pipe("channel closed");
    return {};
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

}  // namespace quorix
