#pragma once

// AsyncFd: readiness of a non-blocking file descriptor, driven by the reactor's epoll.

#include <cstdint>
#include <memory>

#include "base/io_error.hpp"
#include "runtime/read_hook.hpp"
#include "runtime/task.hpp"

namespace quorix::rt {

class Runtime;

namespace detail {
struct ScheduledIo;
}

/// Interest / readiness bits.
enum class Interest : std::uint8_t { Readable = 1, Writable = 2 };

/// Watches a non-blocking fd with the reactor (edge-triggered, readiness cached so that no
/// edge is lost). Read readiness is watched all along. Write readiness is watched only from
/// a writable() wait that finds none until the reactor sees write space with no writer
/// waiting: writes that never wait cost the reactor thread nothing. Does not own the fd:
/// destroy the AsyncFd before closing the fd (declare the fd's owner first in a class). At
/// most one task awaits readable() and one awaits writable() at a time. Movable; not
/// thread-safe apart from that.
///
/// Readiness stays set until the caller clears it, which it must do when the operation
/// reports EAGAIN/EWOULDBLOCK:
///
///     for (;;) {
///         auto ready = co_await afd.readable();
///         ssize_t n = ::read(fd, buf, sizeof buf);
///         if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) { ready.clear_ready(); continue; }
///         ...
///     }
///
/// Readable covers EPOLLIN, EPOLLRDHUP, EPOLLHUP, EPOLLERR and EPOLLPRI; writable covers
/// EPOLLOUT, EPOLLHUP and EPOLLERR (an error is reported by the next operation).
class AsyncFd {
public:
    /// Registers `fd` with the runtime's reactor (default: the shared runtime). Fails with
    /// the epoll_ctl error.
    static IoResult<AsyncFd> create(int fd);
    static IoResult<AsyncFd> create(int fd, Runtime& rt);
    /// Registers `fd` with `hook` consulted first for its read events (see ReadHook). The
    /// reactor keeps the hook alive as long as it may call it.
    static IoResult<AsyncFd> create(int fd, std::shared_ptr<ReadHook> hook);

    AsyncFd(AsyncFd&& o) noexcept;
    AsyncFd& operator=(AsyncFd&& o) noexcept;
    ~AsyncFd();
    AsyncFd(const AsyncFd&) = delete;
    AsyncFd& operator=(const AsyncFd&) = delete;

    int fd() const noexcept;

    /// The readiness seen by one await; clear_ready() forgets it unless the reactor
    /// reported a new event since (that one is kept, so no edge is lost).
    class Ready {
    public:
        Ready() = default;
        Ready(detail::ScheduledIo* io, Interest which, std::uint64_t tick) noexcept
            : io_(io), which_(which), tick_(tick) {}
        void clear_ready() noexcept;

    private:
        detail::ScheduledIo* io_ = nullptr;
        Interest which_ = Interest::Readable;
        std::uint64_t tick_ = 0;
    };

    /// Leaf awaitable: completes when the fd is (or was, and not cleared since) ready.
    class [[nodiscard]] ReadyAwaiter : public PollAwaiter<ReadyAwaiter> {
    public:
        ReadyAwaiter(detail::ScheduledIo* io, Interest which) noexcept : io_(io), which_(which) {}
        ReadyAwaiter(ReadyAwaiter&& o) noexcept;
        ~ReadyAwaiter();
        bool poll(detail::PollContext& cx);
        Ready take() noexcept { return Ready(io_, which_, tick_); }

    private:
        detail::ScheduledIo* io_;
        Interest which_;
        bool registered_ = false;
        std::uint64_t tick_ = 0;
    };

    [[nodiscard]] ReadyAwaiter readable() noexcept { return ReadyAwaiter(io_, Interest::Readable); }
    [[nodiscard]] ReadyAwaiter writable() noexcept { return ReadyAwaiter(io_, Interest::Writable); }

private:
    explicit AsyncFd(detail::ScheduledIo* io) noexcept : io_(io) {}
    void reset() noexcept;

    detail::ScheduledIo* io_ = nullptr;
};

}  // namespace quorix::rt
