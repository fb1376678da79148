#pragma once

// The reactor: one thread that waits in epoll for fd readiness, the timerfd of the timer
// heap, the descriptors watched on behalf of other parts (watch_readable) and its own wake
// eventfd, and wakes the tasks concerned.

#include <pthread.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "base/fd.hpp"
#include "base/io_error.hpp"
#include "runtime/read_hook.hpp"
#include "runtime/task.hpp"
#include "runtime/timer_entry.hpp"

namespace quorix::rt::detail {

/// Readiness state of one fd registered with the reactor. Its address is the epoll data
/// pointer, so it is freed by the reactor thread after the current batch of events.
struct ScheduledIo {
    static constexpr std::uint64_t READABLE = 1, WRITABLE = 2, READINESS = 3;
    static constexpr int TICK_SHIFT = 8;

    int fd = -1;
    class Reactor* reactor = nullptr;
    // Bits READABLE/WRITABLE, plus an event counter above TICK_SHIFT that tells a clear from
    // an older event apart from one that raced with a newer event. Set by the reactor with
    // release; read with acquire by the awaiters.
    std::atomic<std::uint64_t> readiness{0};
    std::mutex mu;
    Waker reader;  // guarded by mu
    Waker writer;  // guarded by mu
    // EPOLLOUT is in the fd's epoll mask. Changed only under mu, together with the mask.
    bool write_interest = false;
    // The owner has removed the fd from epoll: the reactor must not re-add interest, as the
    // descriptor number may already name another file.
    bool deregistered = false;  // guarded by mu
    // Asked first on read events (AsyncFd::create with a hook). Set before the fd is added
    // to epoll and never changed; freed with this state, after the reactor's last look.
    std::shared_ptr<ReadHook> hook;
    ScheduledIo* next_free = nullptr;
};

class Reactor {
public:
    /// Creates the epoll instance, the timerfd and the wake eventfd, and starts the thread.
    static IoResult<Reactor*> create();
    /// shutdown(), then closes the fds. Registered fds must be gone.
    ~Reactor();
    /// Stops and joins the thread; timers and fds are no longer served. Idempotent.
    void shutdown() noexcept;
    Reactor(const Reactor&) = delete;
    Reactor& operator=(const Reactor&) = delete;

    /// Queues `e` (deadline_ns and waker set by the caller). Any thread.
    void add_timer(TimerEntry& e);
    /// Removes `e` if it is still queued. Any thread.
    void remove_timer(TimerEntry& e) noexcept;

    /// Registers a non-blocking fd, edge-triggered for reading. Write readiness is asked
    /// for only while a writer waits (want_writable_locked), so that writes that need no
    /// wait do not wake the reactor thread.
    /// With a `hook`, the reactor thread offers each read event to it first (ReadHook).
    IoResult<ScheduledIo*> register_fd(int fd, std::shared_ptr<ReadHook> hook = nullptr);
    /// Adds EPOLLOUT to the fd's interest, unless it is there. Call with io->mu held, after
    /// the writer's waker was stored: the kernel re-checks the fd when the interest changes,
    /// so readiness that came before the call is reported too. False if epoll refused (the
    /// writer must then not wait for an event).
    bool want_writable_locked(ScheduledIo* io) noexcept;
    /// Removes the fd from epoll and frees its state once the reactor cannot touch it.
    void deregister_fd(ScheduledIo* io) noexcept;

    /// Watches `fd` for reading, level-triggered, for as long as the reactor lives: while it
    /// is readable the reactor thread calls `on_readable`, which must drain it (or it is
    /// called again at once) and must not throw. For descriptors that outlive their users,
    /// such as a wake-up eventfd kept for the whole process; the fd stays the caller's. Any
    /// thread; fails with the epoll_ctl error.
    IoResult<void> watch_readable(int fd, std::function<void()> on_readable);

    /// Timers currently queued (tests).
    std::size_t pending_timers() const;
    /// Fd readiness events dispatched so far (tests).
    std::uint64_t io_events() const noexcept { return io_events_.load(std::memory_order_relaxed); }

    static constexpr std::int64_t NO_DEADLINE = INT64_MAX;
    /// How long the reactor waits behind a watching worker before it fires a deadline
    /// itself.
    static constexpr std::int64_t WATCH_BACKSTOP_NS = 200'000;

    /// An idle worker offers to fire the next deadline itself, which saves the hop through
    /// the reactor thread: returns that deadline (CLOCK_MONOTONIC ns; NO_DEADLINE: none)
    /// and moves the timerfd WATCH_BACKSTOP_NS later, so that the reactor thread stays
    /// asleep when the worker is on time. The worker then calls fire_timers() once the
    /// deadline has passed, or unwatch() if it leaves earlier.
    std::int64_t watch() noexcept;
    /// Withdraws the offer: the timerfd goes back to the exact deadline.
    void unwatch() noexcept;

    /// Wakes the tasks of every deadline that has passed and re-arms the timerfd for the
    /// next one. Any thread.
    void fire_timers();

private:
    Reactor() = default;
    static void thread_main(void* self);
    void loop();
    void dispatch_io(ScheduledIo* io, std::uint32_t events);
    bool set_interest_locked(ScheduledIo* io, bool writable) noexcept;
    void free_deregistered() noexcept;
    void arm_locked(std::int64_t deadline_ns) noexcept;
    void set_timerfd(std::int64_t ns) noexcept;
    void notify() noexcept;

    // Timer heap (binary min-heap on deadline, then insertion order).
    bool earlier(const TimerEntry* a, const TimerEntry* b) const noexcept;
    void sift_up(std::size_t i) noexcept;
    void sift_down(std::size_t i) noexcept;
    void erase_at(std::size_t i) noexcept;
    void place(std::size_t i, TimerEntry* e) noexcept;

    Fd epoll_fd_;
    Fd timer_fd_;
    Fd wake_fd_;
    pthread_t thread_{};
    bool thread_started_ = false;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> io_events_{0};  // written by the reactor thread only

    mutable std::mutex timer_mu_;
    std::vector<TimerEntry*> heap_;        // guarded by timer_mu_
    std::uint64_t next_seq_ = 0;           // guarded by timer_mu_
    std::int64_t armed_ns_ = NO_DEADLINE;  // guarded by timer_mu_: the earliest deadline known
    bool watched_ = false;                 // guarded by timer_mu_: a worker fires armed_ns_

    std::mutex free_mu_;
    ScheduledIo* free_list_ = nullptr;  // guarded by free_mu_

    // A watched descriptor's callback; its address, tagged with WATCH_BIT, is the epoll data.
    struct Watch {
        std::function<void()> on_readable;
    };
    std::mutex watch_mu_;
    std::vector<std::unique_ptr<Watch>> watches_;  // guarded by watch_mu_; kept until the end
};

}  // namespace quorix::rt::detail
