#include "runtime/async_fd.hpp"

#include <mutex>

#include "runtime/reactor.hpp"
#include "runtime/runtime.hpp"

namespace quorix::rt {

namespace {

std::uint64_t bit_of(Interest which) noexcept {
    return which == Interest::Readable ? detail::ScheduledIo::READABLE : detail::ScheduledIo::WRITABLE;
}

Waker& slot_of(detail::ScheduledIo* io, Interest which) noexcept {
    return which == Interest::Readable ? io->reader : io->writer;
}

}  // namespace

IoResult<AsyncFd> AsyncFd::create(int fd) { return create(fd, runtime()); }

IoResult<AsyncFd> AsyncFd::create(int fd, Runtime& rt) {
    auto io = rt.reactor().register_fd(fd);
    if (!io) return std::move(io).error();
    return AsyncFd(io.value());
}

IoResult<AsyncFd> AsyncFd::create(int fd, std::shared_ptr<ReadHook> hook) {
    auto io = runtime().reactor().register_fd(fd, std::move(hook));
    if (!io) return std::move(io).error();
    return AsyncFd(io.value());
}

AsyncFd::AsyncFd(AsyncFd&& o) noexcept : io_(std::exchange(o.io_, nullptr)) {}

AsyncFd& AsyncFd::operator=(AsyncFd&& o) noexcept {
    if (this != &o) {
        reset();
        io_ = std::exchange(o.io_, nullptr);
    }
    return *this;
}

AsyncFd::~AsyncFd() { reset(); }

void AsyncFd::reset() noexcept {
    if (io_) {
        detail::ScheduledIo* io = std::exchange(io_, nullptr);
        io->reactor->deregister_fd(io);
    }
}

int AsyncFd::fd() const noexcept { return io_ ? io_->fd : -1; }

void AsyncFd::Ready::clear_ready() noexcept {
    if (!io_) return;
    const std::uint64_t bit = bit_of(which_);
    std::uint64_t r = io_->readiness.load(std::memory_order_acquire);
    // Clear only the readiness we saw: an event that came after it has bumped the tick and
    // must stay, or its edge would be lost.
    while ((r >> detail::ScheduledIo::TICK_SHIFT) == tick_ && (r & bit)) {
        if (io_->readiness.compare_exchange_weak(r, r & ~bit, std::memory_order_acq_rel,
                                                 std::memory_order_acquire)) {
            break;
        }
    }
}

AsyncFd::ReadyAwaiter::ReadyAwaiter(ReadyAwaiter&& o) noexcept
    : PollAwaiter<ReadyAwaiter>(o), io_(o.io_), which_(o.which_) {}

AsyncFd::ReadyAwaiter::~ReadyAwaiter() {
    if (!registered_) return;
    std::lock_guard lock(io_->mu);
    slot_of(io_, which_).reset();
}

bool AsyncFd::ReadyAwaiter::poll(detail::PollContext& cx) {
    const std::uint64_t bit = bit_of(which_);
    std::uint64_t r = io_->readiness.load(std::memory_order_acquire);
    if (!(r & bit)) {
        bool watched = true;
        {
            std::lock_guard lock(io_->mu);
            Waker& slot = slot_of(io_, which_);
            if (!slot.wakes(cx.task)) slot = Waker(cx.task);
            registered_ = true;
            // Write interest is registered only now, with the waker in place, so that its
            // first event finds us.
            if (which_ == Interest::Writable) watched = io_->reactor->want_writable_locked(io_);
        }
        // The reactor sets the bits before it looks for a waker under `mu`: either it found
        // ours, or this read sees its bits.
        r = io_->readiness.load(std::memory_order_acquire);
        // Unwatched (epoll refused), the caller tries its operation again rather than wait
        // for an event that cannot come; the operation reports what is wrong.
        if (!(r & bit) && watched) return false;
    }
    tick_ = r >> detail::ScheduledIo::TICK_SHIFT;
    return true;
}

}  // namespace quorix::rt
