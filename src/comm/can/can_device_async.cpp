#include "comm/can/can_device_async.hpp"

#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>
#include <variant>

#include "comm/can/provisioning.hpp"
#include "runtime/async_fd.hpp"
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
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to report a broken stderr
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
}

void report_send_failure(const IoError& e) { print_line("Failed to send CAN frame: ", e.text); }

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
    bool reading = true;
    for (;;) {
        std::optional<CanMessage> message;
        if (!reading) {
            message = co_await outgoing.recv();
        } else {
            auto event = co_await rt::select(outgoing.recv(), io.fd.readable());
            if (event.index() == 0) {
                message = std::move(std::get<0>(event));
            } else {
                auto frame = io.socket.try_read_frame();
                if (!frame) {
                    print_line("Failed to receive CAN frame: ", frame.error().text);
                    co_await rt::sleep(RECEIVE_ERROR_BACKOFF);  // neither reads nor sends meanwhile
                } else if (!*frame) {
                    std::get<1>(event).clear_ready();  // EAGAIN: wait for the next edge
                } else if (!incoming.send(to_message(**frame))) {
                    reading = false;
                }
                continue;
            }
        }
        if (!message) co_return;  // closed and drained
        auto frame = make_frame(*message);
        if (!frame) {
            report_send_failure(frame.error());
            continue;
        }
        // The frame is written at once; only a socket that reports EAGAIN is waited for
        // (reading nothing meanwhile), rather than retried in a busy loop that would keep a
        // worker spinning until the kernel frees buffer space. Readiness seen before a
        // second EAGAIN was stale: it is cleared so that the next wait is for a fresh edge.
        bool waited = false;
        rt::AsyncFd::Ready ready;
        for (;;) {
            auto written = io.socket.try_write_frame(*frame);
            if (!written) {
                report_send_failure(written.error());
                break;
            }
            if (*written) break;
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
